#pragma once

#include "core/serverconfig.h"

#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>

class ControlHost;
class Mailbox;
class OperatorApi;
class ServerCore;

// The chat and login services, their files and the control socket on a thread
// of their own, with its own event loop. They are made, run and destroyed on
// that thread, so their sockets, timers and users store belong to it; nothing
// on another thread touches them except through queued calls (OperatorClient).
// The windowed program keeps its widgets on the main thread this way, and a
// box waiting for the operator never holds up the room.
class ServiceThread
{
public:
    explicit ServiceThread(const ServerConfig &config);
    // Every service closed on its thread, then the thread joined.
    ~ServiceThread();
    ServiceThread(const ServiceThread &) = delete;
    ServiceThread &operator=(const ServiceThread &) = delete;

    // Start-up on the service thread, waited for: the services (told as
    // ServerCore::start tells them), then the control socket when no other
    // server holds the folder (the log view says when not).
    QStringList start();

    // Runs `job` on the service thread and waits for it. The service thread
    // never waits for the caller's, so this cannot deadlock.
    void run(const std::function<void()> &job);

    // Where calls for the service thread are posted.
    Mailbox &mailbox() { return *m_mailbox; }
    // Living on the service thread: use them only inside run() or through
    // the mailbox.
    OperatorApi &api();
    ServerCore &core();
    ControlHost &host();

private:
    struct Services;

    QThread m_thread;
    Mailbox *m_mailbox; // on the service thread
    std::unique_ptr<Services> m_services;
};
