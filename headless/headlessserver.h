#pragma once

#include "accounts/loginserver.h"
#include "core/chatserver.h"
#include "core/connectiontable.h"
#include "core/serverconfig.h"
#include "core/serversettings.h"
#include "operator/abuseprotection.h"
#include "operator/controlserver.h"
#include "operator/logstream.h"
#include "platform/folderlock.h"
#include "platform/signalhandoff.h"

#include <QElapsedTimer>
#include <QObject>

// The server without a window: both services over one connection table, the
// operator's settings, the control socket and the console's lines on standard
// error, on a data folder that only this process serves.
class HeadlessServer : public QObject
{
    Q_OBJECT
public:
    HeadlessServer(const ServerConfig &config, LogStream::Style style, QObject *parent = nullptr);
    ~HeadlessServer() override;

    // Takes the folder, reads the settings, starts the login service, the chat
    // service and the control socket, and watches the signals. Returns the exit
    // code to end with when the server cannot serve, else Invocation::Done.
    int start();
    // As File > Exit: every chat client closed, the control socket removed,
    // then the event loop ends.
    void shutdown();
    // motd.txt read again as at start-up.
    bool reload(QString *errorText = nullptr);

    const ServerConfig &config() const { return m_config; }
    ConnectionTable &table() { return m_table; }
    ChatServer &chat() { return m_chat; }
    LoginServer &login() { return m_login; }
    ServerSettings &settings() { return m_settings; }
    LogStream &log() { return m_log; }
    bool isChatListening() const { return m_chatListening; }
    bool isLoginListening() const { return m_loginListening; }
    qint64 uptimeSeconds() const { return m_started.elapsed() / 1000; }

private:
    int refuse(const QString &text);
    void wireLog();

    ServerConfig m_config;
    FolderLock m_lock;
    ServerSettings m_settings;
    // Before the services: their connections report to it until they are gone.
    AbuseProtection m_protection;
    ConnectionTable m_table;
    ChatServer m_chat;
    LoginServer m_login;
    LogStream m_log;
    ControlServer m_control;
    SignalHandoff m_signals;
    QElapsedTimer m_started;
    bool m_chatListening = false;
    bool m_loginListening = false;
    bool m_stopping = false;
};
