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
    m_chat = &chat;
    m_login = &login;
    chat.setProtection(&m_addresses, m_limits);
    login.setProtection(&m_addresses, m_limits, &chat.bans());
    connect(&chat.connections(), &ConnectionPool::securityEvent, this,
            &AbuseProtection::securityEvent);
    connect(&login.connections(), &ConnectionPool::securityEvent, this,
            &AbuseProtection::securityEvent);
}

void AbuseProtection::setLimits(const AbuseLimits &limits)
{
    m_limits = limits;
    m_addresses.setLimits(limits.connectionsPerAddress, limits.newConnectionsPerMinute,
                          limits.trustedAddresses);
    if (m_chat)
        m_chat->setProtection(&m_addresses, m_limits);
    if (m_login)
        m_login->setProtection(&m_addresses, m_limits, &m_chat->bans());
}
