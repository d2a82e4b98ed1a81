#include "operator/servicethread.h"

#include "core/codepage.h"
#include "operator/controlhost.h"
#include "operator/logstream.h"
#include "operator/mailbox.h"
#include "operator/servercore.h"

struct ServiceThread::Services
{
    explicit Services(const ServerConfig &config) : core(config), host(core, log) {}

    ServerCore core;
    LogStream log{LogStream::Style::Silent}; // for the control socket's followers only
    ControlHost host;
};

ServiceThread::ServiceThread(const ServerConfig &config) : m_mailbox(new Mailbox)
{
    m_thread.setObjectName(QStringLiteral("services"));
    m_mailbox->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_mailbox, &QObject::deleteLater);
    m_thread.start();
    run([this, &config] {
        m_services = std::make_unique<Services>(config);
        // The saved settings first: "Require Passwords" starts as saved.
        m_services->host.applySettings();
        ControlHost *host = &m_services->host;
        QObject::connect(&m_services->core.api(), &OperatorApi::shutdownRequested, host,
                         [host] { host->closeControlSocket(); });
    });
}

ServiceThread::~ServiceThread()
{
    run([this] { m_services.reset(); });
    m_thread.quit();
    m_thread.wait();
}

void ServiceThread::run(const std::function<void()> &job)
{
    m_mailbox->call(job);
}

QStringList ServiceThread::start()
{
    QStringList failures;
    run([this, &failures] {
        failures = core().start();
        QString reason;
        if (host().lockFolder(&reason) == FolderLock::Outcome::Locked &&
            host().openControlSocket(&reason))
            return;
        // The window serves all the same; only the shell cannot reach it.
        core().chat().addOutputLine(
            Codepage::fromDisplay(reason + QStringLiteral(" This server has no control socket.")));
    });
    return failures;
}

OperatorApi &ServiceThread::api()
{
    return m_services->core.api();
}

ServerCore &ServiceThread::core()
{
    return m_services->core;
}

ControlHost &ServiceThread::host()
{
    return m_services->host;
}
