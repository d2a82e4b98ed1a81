#include "operator/servercore.h"

#include "chat/chatcommands.h"
#include "core/codepage.h"
#include "core/connectionpool.h"
#include "core/loginthrottle.h"

#include <unistd.h>

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
    m_started = true;
    applyMetricsSettings();
    return failures;
}

bool ServerCore::isAnswerHeld()
{
    return m_chat.connections().isAnswerHeld() || m_login.connections().isAnswerHeld();
}

void ServerCore::handOver(UpgradeSnapshot &snapshot)
{
    const auto now = std::chrono::steady_clock::now();
    m_chat.connections().endDrainingConnections();
    m_login.connections().endDrainingConnections();
    snapshot.chatListener = qint32(m_chat.connections().listenerDescriptor());
    snapshot.loginListener = qint32(m_login.connections().listenerDescriptor());
    snapshot.passwordsRequired = m_api.passwordsRequired();
    snapshot.uptimeMs = m_api.uptime().count();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        std::optional<UpgradeSnapshot::Connection> carried = m_chat.connections().handOver(i, now);
        if (carried) {
            carried->leaveGraceMs = m_chat.leaveGraceLeftMs(i);
        } else {
            carried = m_login.connections().handOver(i, now);
            if (carried)
                carried->chat = false;
        }
        if (carried)
            snapshot.connections.append(*carried);
    }
    snapshot.addressConnections = m_protection.addresses().history(now);
    if (LoginThrottle *throttle = m_login.throttle()) {
        snapshot.loginFailures = throttle->failureHistory(now);
        snapshot.registrations = throttle->registrationHistory(now);
    }
    snapshot.moderatorFailures = m_chat.moderatorThrottle().failureHistory(now);
}

QStringList ServerCore::resume(const UpgradeSnapshot &snapshot)
{
    const auto now = std::chrono::steady_clock::now();
    QStringList failures;
    QString reason;
    // A listener that cannot be taken over is opened afresh.
    const auto listen = [&](ConnectionPool &pool, qint32 descriptor, const QString &service,
                            quint16 port, const std::function<bool(QString *)> &fresh) {
        if (descriptor >= 0 && pool.adoptListener(descriptor, &reason))
            return true;
        if (descriptor >= 0)
            ::close(descriptor);
        if (fresh(&reason))
            return true;
        failures.append(listenFailure(service, port, reason));
        return false;
    };
    const bool loginListening =
        listen(m_login.connections(), snapshot.loginListener, QStringLiteral("login service"),
               m_config.loginPort, [this](QString *why) { return m_login.listen(why); });
    const bool chatListening =
        listen(m_chat.connections(), snapshot.chatListener, QStringLiteral("chat service"),
               m_config.chatPort, [this](QString *why) { return m_chat.listen(why); });
    m_protection.addresses().restore(snapshot.addressConnections, now);
    if (LoginThrottle *throttle = m_login.throttle())
        throttle->restore(snapshot.loginFailures, snapshot.registrations, now);
    m_chat.moderatorThrottle().restore(snapshot.moderatorFailures, {}, now);
    m_api.setPasswordsRequired(snapshot.passwordsRequired);
    for (const UpgradeSnapshot::Connection &carried : snapshot.connections) {
        ConnectionPool &pool = carried.chat ? m_chat.connections() : m_login.connections();
        if (!pool.adopt(carried, now, &reason)) {
            ::close(carried.descriptor);
            failures.append(QStringLiteral("The connection of %1 could not be taken over: %2")
                                .arg(QString::fromLatin1(carried.address), reason));
            continue;
        }
        if (carried.chat && carried.leaveGraceMs >= 0)
            m_chat.resumeLeaveGrace(carried.index, std::chrono::milliseconds(carried.leaveGraceMs));
    }
    const OperatorResult motd = m_api.reloadMotd();
    if (!motd.ok)
        failures.append(motd.error);
    m_api.noteStarted(chatListening, loginListening, std::chrono::milliseconds(snapshot.uptimeMs));
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
    if (m_started && m_settings.metrics() != m_metricsListening)
        applyMetricsSettings();
}

void ServerCore::applyMetricsSettings()
{
    const MetricsSettings &wanted = m_settings.metrics();
    m_metricsListening = wanted;
    m_metricsEndpoint.close();
    if (wanted.address.isNull())
        return;
    const QString where = wanted.address.protocol() == QAbstractSocket::IPv6Protocol
                              ? QStringLiteral("[%1]:%2")
                              : QStringLiteral("%1:%2");
    const QString place = where.arg(wanted.address.toString()).arg(wanted.port);
    QString reason;
    if (!m_metricsEndpoint.listen(wanted.address, wanted.port, wanted.allowRemote, &reason)) {
        Q_EMIT m_api.notice(
            QStringLiteral("The metrics endpoint could not listen on %1: %2").arg(place, reason),
            OperatorApi::Severity::Warning);
        return;
    }
    Q_EMIT m_api.logLine(Codepage::fromDisplay(
        QStringLiteral("Metrics: GET /metrics on %1")
            .arg(where.arg(wanted.address.toString()).arg(m_metricsEndpoint.port()))));
}

void ServerCore::reportSettingsProblems()
{
    if (!m_settings.readError().isEmpty())
        Q_EMIT m_api.notice(m_settings.readError(), OperatorApi::Severity::Warning);
    for (const QString &problem : m_settings.problems())
        Q_EMIT m_api.logLine(Codepage::fromDisplay(problem));
}
