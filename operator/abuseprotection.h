#pragma once

#include "core/abuselimits.h"
#include "core/addresslimits.h"

#include <QObject>

class ChatServer;
class LoginServer;

// The abuse limits of both services, as the settings file held them at the
// start, with the one address count they share.
// Their security events are passed on, for the log stream.
class AbuseProtection : public QObject
{
    Q_OBJECT
public:
    explicit AbuseProtection(const AbuseLimits &limits, QObject *parent = nullptr);

    const AbuseLimits &limits() const { return m_limits; }

    void protect(ChatServer &chat, LoginServer &login);

Q_SIGNALS:
    // One line of the security log.
    void securityEvent(const QByteArray &line);

private:
    AbuseLimits m_limits;
    AddressLimits m_addresses;
};
