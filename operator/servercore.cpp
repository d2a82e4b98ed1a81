#include "operator/servercore.h"

#include "chat/chatcommands.h"
#include "core/codepage.h"

namespace {
QString listenFailure(const QString &service, quint16 port, const QString &reason)
{
    return QStringLiteral("The %1 could not listen on TCP port %2: %3")
        .arg(service)
        .arg(port)
        .arg(reason);
}

ServerSettings loaded(const QString &path)
{
    ServerSettings settings(path);
    settings.load();
    return settings;
}
} // namespace

ServerCore::ServerCore(const ServerConfig &config, QObject *parent)
    : QObject(parent), m_config(config),
      m_settings(loaded(m_config.programFile(ServerSettings::FileName))),
      m_protection(m_settings.limits()), m_chat(m_table, m_config), m_login(m_table, m_config),
      m_api(m_chat, m_login)
{
    registerChatCommands(m_chat);
    m_chat.setPasswordChecker(&m_checker);
    m_login.setPasswordChecker(&m_checker);
    m_protection.protect(m_chat, m_login);
    applySettings();
    connect(&m_protection, &AbuseProtection::securityEvent, this, &ServerCore::securityEvent);
}

ServerCore::~ServerCore() = default;

QStringList ServerCore::start()
{
    QStringList failures;
    QString reason;
    const bool loginListening = m_login.listen(&reason);
    if (!loginListening)
        failures.append(listenFailure(QStringLiteral("login service"), m_config.loginPort, reason));
    const bool chatListening = m_chat.listen(&reason);
    if (!chatListening)
        failures.append(listenFailure(QStringLiteral("chat service"), m_config.chatPort, reason));
    const OperatorResult motd = m_api.reloadMotd();
    if (!motd.ok)
        failures.append(motd.error);
    m_api.noteStarted(chatListening, loginListening);
    reportSettingsProblems();
    for (const QString &failure : std::as_const(failures))
        Q_EMIT m_api.notice(failure, OperatorApi::Severity::Error);
    return failures;
}

void ServerCore::applySettings()
{
    m_protection.setLimits(m_settings.limits());
    m_chat.setLogRotation(m_settings.logLimits());
    m_login.setLogRotation(m_settings.logLimits());
}

void ServerCore::reportSettingsProblems()
{
    if (!m_settings.readError().isEmpty())
        Q_EMIT m_api.notice(m_settings.readError(), OperatorApi::Severity::Warning);
    for (const QString &problem : m_settings.problems())
        Q_EMIT m_api.logLine(Codepage::fromDisplay(problem));
}
