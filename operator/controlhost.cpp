#include "operator/controlhost.h"

#include "operator/controlcommands.h"
#include "operator/controlprotocol.h"
#include "operator/logstream.h"
#include "operator/servercore.h"

ControlHost::ControlHost(ServerCore &core, LogStream &log, QObject *parent)
    : QObject(parent), m_core(core), m_log(log),
      m_settings(core.config().programFile(ServerSettings::FileName))
{
    OperatorApi &operatorApi = api();
    connect(&operatorApi, &OperatorApi::logLine, &m_log, &LogStream::logLine);
    connect(&operatorApi, &OperatorApi::notice, &m_log, &LogStream::notice);
    connect(&operatorApi, &OperatorApi::userRowChanged, &m_log, &LogStream::rowChanged);
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

bool ControlHost::loadSettings(QString *problem)
{
    const bool usable = m_settings.load(problem);
    // Restoring the saved value is no change to save again.
    api().setPasswordsRequired(m_settings.passwordsRequired());
    if (!m_settingsLoaded) {
        m_settingsLoaded = true;
        connect(&api(), &OperatorApi::passwordsRequiredChanged, this,
                &ControlHost::onPasswordsRequiredChanged);
    }
    return usable;
}

void ControlHost::onPasswordsRequiredChanged(bool required)
{
    QString error;
    if (!m_settings.setPasswordsRequired(required, &error))
        Q_EMIT api().notice(error, OperatorApi::Severity::Error);
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
    return result;
}
