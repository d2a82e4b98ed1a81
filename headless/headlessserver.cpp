#include "headless/headlessserver.h"

#include "headless/commandline.h"
#include "platform/servicenotify.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <csignal>

HeadlessServer::HeadlessServer(const ServerConfig &config, LogStream::Style style, QObject *parent)
    : QObject(parent), m_core(config), m_log(style), m_host(m_core, m_log),
      m_upgrade(m_core, m_host, QCoreApplication::applicationFilePath(),
                QCoreApplication::arguments().mid(1))
{
    m_host.setProgram({QCoreApplication::applicationFilePath(), QStringLiteral(TARNWICK_VERSION),
                       QDateTime(), QString()});
    m_host.control().setHandler(QStringLiteral("upgrade"),
                                [this](ControlCall &call) { m_upgrade.request(call); });
    // The window shows this count in the users window; here it is a line.
    connect(&m_core.login(), &LoginServer::registeredUsersCounted, &m_log, &LogStream::logLine);
    connect(&m_core.api(), &OperatorApi::shutdownRequested, this,
            &HeadlessServer::onShutdownRequested);
}

HeadlessServer::~HeadlessServer() = default;

int HeadlessServer::refuse(const QString &text)
{
    m_log.notice(text, LogStream::Severity::Error);
    return Invocation::Failed;
}

int HeadlessServer::start(const std::optional<ProgramUpgrade::Arrival> &arrival)
{
    // Standard error going away (the journal restarting, a closed pipe) must
    // not end the server; its lines are then lost, the service goes on.
    std::signal(SIGPIPE, SIG_IGN);
    const QString folder = m_core.config().programFolder;
    if (!QFileInfo(folder).isDir())
        return refuse(QStringLiteral("The data folder %1 does not exist.").arg(folder));
    if (const QString why = ControlHost::whyFoldersUnsafe(m_core.config()); !why.isEmpty())
        return refuse(why);
    QString reason;
    if (m_host.lockFolder(&reason) != FolderLock::Outcome::Locked)
        return refuse(reason);
    m_host.applySettings();

    // Each failure has been told on standard error; without both services
    // there is nothing to serve.
    const UpgradeSnapshot *carried = arrival && arrival->snapshot ? &*arrival->snapshot : nullptr;
    if (carried)
        m_core.resume(*carried);
    else
        m_core.start();
    const ServerStatus state = m_core.api().status();
    if (!state.loginListening || !state.chatListening)
        return Invocation::Failed;
    const bool controlOpen = carried && carried->controlListener >= 0
                                 ? m_host.adoptControlSocket(carried->controlListener, &reason)
                                 : m_host.openControlSocket(&reason);
    if (!controlOpen)
        return refuse(reason);
    m_signals.watch(SIGTERM, [this] { m_core.api().shutdown(); });
    m_signals.watch(SIGINT, [this] { m_core.api().shutdown(); });
    m_signals.watch(SIGHUP, [this] { onHangUp(); });

    m_log.notice(QStringLiteral("Serving chat on TCP port %1 and logins on TCP port %2 from %3.")
                     .arg(state.chatPort)
                     .arg(state.loginPort)
                     .arg(folder),
                 LogStream::Severity::Info);
    if (!arrival) {
        notifyServiceReady();
        return Invocation::Done;
    }
    // The carried connections' turns are queued already and go first: telling
    // the waiting control client and the service manager wakes them, which
    // on a busy machine may cost this process its time slice.
    QMetaObject::invokeMethod(
        this,
        [this, arrival] {
            reportArrival(*arrival);
            notifyServiceReady();
        },
        Qt::QueuedConnection);
    return Invocation::Done;
}

void HeadlessServer::reportArrival(const ProgramUpgrade::Arrival &arrival)
{
    if (!arrival.snapshot) {
        m_log.notice(QStringLiteral("The upgrade's state could not be read (%1): every connection "
                                    "was closed and the server started afresh.")
                         .arg(arrival.failure),
                     LogStream::Severity::Warning);
        return;
    }
    const UpgradeSnapshot &snapshot = *arrival.snapshot;
    ControlHost::Program program = m_host.program();
    program.upgradedAt = QDateTime::currentDateTimeUtc();
    program.upgradedFrom = QString::fromUtf8(snapshot.previousVersion);
    m_host.setProgram(program);
    const QString text =
        QStringLiteral("Upgraded from version %1 (%2) to version %3 (%4); %5 connection(s) kept.")
            .arg(program.upgradedFrom, snapshot.previousProgram, program.version, program.path)
            .arg(snapshot.connections.size());
    m_log.notice(text, LogStream::Severity::Info);
    if (snapshot.replyDescriptor >= 0) {
        ControlServer::answerCarried(
            snapshot.replyDescriptor,
            ControlResult::done(text, {{"version", program.version},
                                       {"previousVersion", program.upgradedFrom},
                                       {"program", program.path}}));
    }
}

// The service manager's reload: it waits for the ready notice that ends it,
// whether motd.txt could be read or not.
void HeadlessServer::onHangUp()
{
    notifyServiceReloading();
    m_host.reload();
    notifyServiceReady();
}

// File > Exit, the shutdown command, SIGTERM or SIGINT: every chat client has
// been closed. Followers of the log see the last line, then their end.
void HeadlessServer::onShutdownRequested()
{
    if (m_stopping)
        return;
    m_stopping = true;
    notifyServiceStopping();
    m_log.notice(QStringLiteral("Shutting down."), LogStream::Severity::Info);
    m_host.closeControlSocket();
    QCoreApplication::quit();
}
