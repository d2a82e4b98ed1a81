#pragma once

#include "core/abuselimits.h"
#include "core/addresslimits.h"

#include <QObject>

class ChatServer;
class LoginServer;

// The abuse limits of both services, as the settings file holds them, with
// the one address count they share.
// Their security events are passed on, for the log stream.
class AbuseProtection : public QObject
{
    Q_OBJECT
public:
    explicit AbuseProtection(const AbuseLimits &limits, QObject *parent = nullptr);

    const AbuseLimits &limits() const { return m_limits; }

    void protect(ChatServer &chat, LoginServer &login);
    // New limits for both services; no connection is dropped.
    void setLimits(const AbuseLimits &limits);
    AddressLimits &addresses() { return m_addresses; }

Q_SIGNALS:
    // One line of the security log.
    void securityEvent(const QByteArray &line);

private:
    AbuseLimits m_limits;
    AddressLimits m_addresses;
    ChatServer *m_chat = nullptr;
    LoginServer *m_login = nullptr;
};
