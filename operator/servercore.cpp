#include "operator/servercore.h"

#include "chat/chatcommands.h"
#include "core/codepage.h"
#include "core/connectionpool.h"
#include "core/securitylog.h"
#include "core/serversettings.h"

#include <QSettings>

namespace {
QString listenFailure(const QString &service, quint16 port, const QString &reason)
{
    return QStringLiteral("The %1 could not listen on TCP port %2: %3")
        .arg(service)
        .arg(port)
        .arg(reason);
}

AbuseLimits readLimits(const ServerConfig &config, QStringList *problems)
{
    const QString path = config.programFile(ServerSettings::FileName);
    const QSettings file(path, QSettings::IniFormat);
    QStringList found;
    AbuseLimits limits = AbuseLimits::fromSettings(file, &found);
    for (const QString &problem : std::as_const(found))
        problems->append(QStringLiteral("The settings file %1: %2").arg(path, problem));
    return limits;
}
} // namespace

ServerCore::ServerCore(const ServerConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_limits(readLimits(m_config, &m_limitProblems)),
      m_addresses(m_limits.connectionsPerAddress, m_limits.newConnectionsPerMinute,
                  m_limits.trustedAddresses),
      m_chat(m_table, m_config), m_login(m_table, m_config), m_api(m_chat, m_login)
{
    registerChatCommands(m_chat);
    m_chat.setProtection(&m_addresses, m_limits);
    m_login.setProtection(&m_addresses, m_limits);
    connect(&m_chat.connections(), &ConnectionPool::securityEvent, this,
            &ServerCore::onSecurityEvent);
    connect(&m_login.connections(), &ConnectionPool::securityEvent, this,
            &ServerCore::onSecurityEvent);
}

void ServerCore::onSecurityEvent(const QByteArray &line)
{
    SecurityLog::write(line);
    Q_EMIT securityEvent(line);
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
    for (const QString &problem : std::as_const(m_limitProblems))
        Q_EMIT m_api.logLine(Codepage::fromDisplay(problem));
    for (const QString &failure : std::as_const(failures))
        Q_EMIT m_api.notice(failure, OperatorApi::Severity::Error);
    return failures;
}
