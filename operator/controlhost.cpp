#include "operator/controlhost.h"

#include "operator/controlcommands.h"
#include "operator/controlprotocol.h"
#include "operator/logstream.h"
#include "operator/servercore.h"

#include <unistd.h>

ControlHost::ControlHost(ServerCore &core, LogStream &log, QObject *parent)
    : QObject(parent), m_core(core), m_log(log)
{
    OperatorApi &operatorApi = api();
    connect(&operatorApi, &OperatorApi::logLine, &m_log, &LogStream::logLine);
    connect(&operatorApi, &OperatorApi::notice, &m_log, &LogStream::notice);
    connect(&operatorApi, &OperatorApi::userRowChanged, &m_log, &LogStream::rowChanged);
    connect(&core, &ServerCore::securityEvent, &m_log, &LogStream::securityEvent);
    connect(&m_control, &ControlServer::commandDispatched, this,
            [this] { ++m_core.table().counters().controlCommands; });
    registerControlCommands(m_control, *this);
}

ControlHost::~ControlHost() = default;

OperatorApi &ControlHost::api()
{
    return m_core.api();
}

QString ControlHost::whyFoldersUnsafe(const ServerConfig &config)
{
    for (const QString &folder : {config.programFolder, config.workingDirectory}) {
        if (const QString why = FolderLock::whyUnsafe(folder); !why.isEmpty())
            return QStringLiteral("The server does not start. ") + why;
    }
    return {};
}

ServerSettings &ControlHost::settings()
{
    return m_core.settings();
}

FolderLock::Outcome ControlHost::lockFolder(QString *errorText)
{
    const QString folder = m_core.config().programFolder;
    QString reason;
    const FolderLock::Outcome outcome = m_lock.lock(folder, &reason);
    if (outcome == FolderLock::Outcome::HeldByAnother) {
        *errorText =
            QStringLiteral("Another server is already running on the data folder %1.").arg(folder);
    } else if (outcome == FolderLock::Outcome::Failed) {
        *errorText = QStringLiteral("The data folder %1 cannot be locked: %2").arg(folder, reason);
    }
    return outcome;
}

void ControlHost::applySettings()
{
    m_applyingSettings = true;
    api().setPasswordsRequired(settings().passwordsRequired());
    m_applyingSettings = false;
    if (!m_savingChanges) {
        m_savingChanges = true;
        connect(&api(), &OperatorApi::passwordsRequiredChanged, this,
                &ControlHost::onPasswordsRequiredChanged);
    }
}

void ControlHost::onPasswordsRequiredChanged(bool required)
{
    if (m_applyingSettings)
        return;
    QString error;
    if (!settings().setPasswordsRequired(required, &error)) {
        Q_EMIT api().notice(
            QStringLiteral("Require Passwords is %1 now, but not saved: %2")
                .arg(required ? QStringLiteral("on") : QStringLiteral("off"), error),
            OperatorApi::Severity::Error);
    }
}

bool ControlHost::openControlSocket(QString *errorText)
{
    if (!m_lock.isLocked()) {
        *errorText = QStringLiteral("the data folder is not locked");
        return false;
    }
    const QString path = m_core.config().programFile(ControlProtocol::SocketName);
    QString reason;
    if (!m_control.listen(path, &reason)) {
        *errorText =
            QStringLiteral("The control socket %1 could not be opened: %2").arg(path, reason);
        return false;
    }
    return true;
}

bool ControlHost::adoptControlSocket(qintptr descriptor, QString *errorText)
{
    const QString path = m_core.config().programFile(ControlProtocol::SocketName);
    if (m_lock.isLocked() && m_control.adopt(descriptor, path, errorText))
        return true;
    ::close(int(descriptor));
    return openControlSocket(errorText);
}

void ControlHost::closeControlSocket()
{
    m_control.close();
}

bool ControlHost::isServing() const
{
    return m_control.isListening();
}

OperatorResult ControlHost::reload()
{
    const OperatorResult result = api().reloadMotd();
    if (result.ok) {
        m_log.notice(QStringLiteral("The message of the day was read again from motd.txt."),
                     LogStream::Severity::Info);
    } else {
        m_log.notice(result.error, LogStream::Severity::Error);
    }
    reloadSettings();
    return result;
}

void ControlHost::reloadSettings()
{
    const QList<std::pair<QString, QString>> before = settings().valueTexts();
    // A file that cannot be read changes nothing in force.
    const bool readable = settings().load();
    m_core.reportSettingsProblems();
    if (readable) {
        applySettings();
        m_core.applySettings();
        const qsizetype problems = settings().problemCount();
        m_log.notice(problems == 0 ? QStringLiteral("The settings file was read again.")
                                   : QStringLiteral("The settings file was read again, with %1 "
                                                    "problem(s) told above.")
                                         .arg(problems),
                     LogStream::Severity::Info);
        const QList<std::pair<QString, QString>> after = settings().valueTexts();
        for (qsizetype i = 0; i < after.size(); ++i) {
            if (after[i].second != before[i].second)
                m_log.notice(QStringLiteral("Reloaded: %1 %2 -> %3")
                                 .arg(after[i].first, before[i].second, after[i].second),
                             LogStream::Severity::Info);
        }
    }
    // Both are also read again whenever they change on disk; a reload reads
    // them whatever their stamps say.
    m_core.chat().sysops().invalidate();
    BanStore &bans = m_core.chat().bans();
    bans.invalidate();
    QString error;
    if (!bans.refresh(&error))
        m_log.notice(QStringLiteral("The ban list could not be read: ") + error,
                     LogStream::Severity::Error);
}
