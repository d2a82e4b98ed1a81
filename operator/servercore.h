#pragma once

#include "accounts/loginserver.h"
#include "core/chatserver.h"
#include "core/connectiontable.h"
#include "core/passwordchecker.h"
#include "core/serverconfig.h"
#include "core/serversettings.h"
#include "core/upgradesnapshot.h"
#include "operator/abuseprotection.h"
#include "operator/metricsendpoint.h"
#include "operator/operatorapi.h"
#include "operator/servermetrics.h"

#include <QObject>
#include <QStringList>

// Everything of the server that is not a window, built and wired once: the
// settings file, the connection table, the chat service with its commands,
// the login service and the operator API. The windowed program, a program without windows and the
// test fixtures all start from here.
class ServerCore : public QObject
{
    Q_OBJECT
public:
    explicit ServerCore(const ServerConfig &config, QObject *parent = nullptr);
    ~ServerCore() override;

    // Start-up: the login listener, then the chat listener, then motd.txt
    // from the program folder. Each failure is told through
    // OperatorApi::notice (after all three steps) and returned as text.
    // Then the metrics endpoint when the settings ask for one; it failing is
    // a warning notice only.
    QStringList start();
    // An upgrade, in the program before it: the listeners, every connection
    // and the timed limits into `snapshot`. Only between two events, and only
    // while no answer is held (isAnswerHeld).
    void handOver(UpgradeSnapshot &snapshot);
    bool isAnswerHeld();
    // An upgrade, in the program after it: start() with everything the
    // snapshot carries. A connection that cannot be taken over is closed;
    // each failure is returned as text.
    QStringList resume(const UpgradeSnapshot &snapshot);
    // The settings file's problems, each a line of the log view; a file that
    // cannot be read is a warning notice.
    void reportSettingsProblems();
    // The settings as read last put in force: limits, log rotation and, once
    // started, the metrics endpoint's address. Every connection stays.
    void applySettings();

    OperatorApi &api() { return m_api; }
    ChatServer &chat() { return m_chat; }
    LoginServer &login() { return m_login; }
    ConnectionTable &table() { return m_table; }
    const ServerConfig &config() const { return m_config; }
    ServerSettings &settings() { return m_settings; }
    // The worker threads that hash and check passwords for both services.
    PasswordChecker &passwordChecker() { return m_checker; }
    // In force: those of the settings file as read last.
    const AbuseLimits &limits() const { return m_protection.limits(); }
    const ServerMetrics &metrics() const { return m_metrics; }
    MetricsEndpoint &metricsEndpoint() { return m_metricsEndpoint; }

Q_SIGNALS:
    // One line of the security log, for the log stream.
    void securityEvent(const QByteArray &line);

private:
    ServerConfig m_config;
    ServerSettings m_settings;
    // Before the services: their connections report to it until they are gone.
    AbuseProtection m_protection;
    ConnectionTable m_table;
    ChatServer m_chat;
    LoginServer m_login;
    OperatorApi m_api;
    ServerMetrics m_metrics{*this};
    MetricsEndpoint m_metricsEndpoint{[this] { return m_metrics.exposition(); }};
    bool m_started = false;
    MetricsSettings m_metricsListening; // what the endpoint was last asked to do

    void applyMetricsSettings();

    // Last, so that it goes first: its pending answers reach nothing gone.
    PasswordChecker m_checker;
};
