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
    m_started = true;
    applyMetricsSettings();
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
