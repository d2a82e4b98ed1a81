#include "operator/abuseprotection.h"

#include "accounts/loginserver.h"
#include "core/chatserver.h"
#include "core/connectionpool.h"
#include "core/securitylog.h"
#include "core/serversettings.h"

#include <QSettings>

namespace {
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

AbuseProtection::AbuseProtection(const ServerConfig &config, QObject *parent)
    : QObject(parent), m_limits(readLimits(config, &m_problems)),
      m_addresses(m_limits.connectionsPerAddress, m_limits.newConnectionsPerMinute,
                  m_limits.trustedAddresses)
{
}

void AbuseProtection::protect(ChatServer &chat, LoginServer &login)
{
    chat.setProtection(&m_addresses, m_limits);
    login.setProtection(&m_addresses, m_limits);
    connect(&chat.connections(), &ConnectionPool::securityEvent, this,
            &AbuseProtection::onSecurityEvent);
    connect(&login.connections(), &ConnectionPool::securityEvent, this,
            &AbuseProtection::onSecurityEvent);
}

void AbuseProtection::onSecurityEvent(const QByteArray &line)
{
    SecurityLog::write(line);
    Q_EMIT securityEvent(line);
}
