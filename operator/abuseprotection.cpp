#include "operator/abuseprotection.h"

#include "accounts/loginserver.h"
#include "core/chatserver.h"
#include "core/connectionpool.h"

AbuseProtection::AbuseProtection(const AbuseLimits &limits, QObject *parent)
    : QObject(parent), m_limits(limits),
      m_addresses(m_limits.connectionsPerAddress, m_limits.newConnectionsPerMinute,
                  m_limits.trustedAddresses)
{
}

void AbuseProtection::protect(ChatServer &chat, LoginServer &login)
{
    chat.setProtection(&m_addresses, m_limits);
    login.setProtection(&m_addresses, m_limits);
    connect(&chat.connections(), &ConnectionPool::securityEvent, this,
            &AbuseProtection::securityEvent);
    connect(&login.connections(), &ConnectionPool::securityEvent, this,
            &AbuseProtection::securityEvent);
}
