#pragma once

#include "core/abuselimits.h"
#include "core/addresslimits.h"
#include "core/serverconfig.h"

#include <QObject>
#include <QStringList>

class ChatServer;
class LoginServer;

// The abuse limits of both services, read once from the settings file
// ([limits] in tarnwick-server.ini), with the one address count they share.
// Their security events are written to standard error, where the journal and
// fail2ban read them, and passed on.
class AbuseProtection : public QObject
{
    Q_OBJECT
public:
    explicit AbuseProtection(const ServerConfig &config, QObject *parent = nullptr);

    // Values of the settings file that were not understood (their defaults
    // apply), one text each for the operator's log.
    const QStringList &problems() const { return m_problems; }
    const AbuseLimits &limits() const { return m_limits; }

    void protect(ChatServer &chat, LoginServer &login);

Q_SIGNALS:
    // One line of the security log, already on standard error.
    void securityEvent(const QByteArray &line);

private:
    void onSecurityEvent(const QByteArray &line);

    QStringList m_problems;
    AbuseLimits m_limits;
    AddressLimits m_addresses;
};
