#pragma once

#include "core/serverconfig.h"
#include "headless/programupgrade.h"
#include "operator/controlhost.h"
#include "operator/logstream.h"
#include "operator/servercore.h"
#include "platform/signalhandoff.h"

#include <QObject>

// The server without a window: the server core, the folder's lock, the saved
// settings and the control socket, with the console's lines on standard error.
class HeadlessServer : public QObject
{
    Q_OBJECT
public:
    HeadlessServer(const ServerConfig &config, LogStream::Style style, QObject *parent = nullptr);
    ~HeadlessServer() override;

    // Takes the folder, reads the settings, starts the login service, the chat
    // service and the control socket, and watches the signals. Returns the exit
    // code to end with when the server cannot serve, else Invocation::Done.
    // After an upgrade, `arrival` is what the program before left.
    int start(const std::optional<ProgramUpgrade::Arrival> &arrival = std::nullopt);

private:
    int refuse(const QString &text);
    void onShutdownRequested();
    void onHangUp();
    // The log line and the control client's answer after an upgrade.
    void reportArrival(const ProgramUpgrade::Arrival &arrival);

    ServerCore m_core;
    LogStream m_log;
    ControlHost m_host;
    SignalHandoff m_signals;
    ProgramUpgrade m_upgrade;
    bool m_stopping = false;
};
