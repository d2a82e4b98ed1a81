#include "headless/headlessserver.h"

#include "chat/chatcommands.h"
#include "core/codepage.h"
#include "headless/commandline.h"
#include "headless/controlcommands.h"
#include "operator/controlprotocol.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <csignal>

HeadlessServer::HeadlessServer(const ServerConfig &config, LogStream::Style style, QObject *parent)
    : QObject(parent), m_config(config), m_settings(config.programFile(ServerSettings::FileName)),
      m_protection(config), m_chat(m_table, config), m_login(m_table, config), m_log(style)
{
    registerChatCommands(m_chat);
    m_protection.protect(m_chat, m_login);
}

HeadlessServer::~HeadlessServer() = default;

int HeadlessServer::refuse(const QString &text)
{
    m_log.notice(text, LogStream::Severity::Error);
    return Invocation::Failed;
}

int HeadlessServer::start()
{
    // Standard error going away (the journal restarting, a closed pipe) must
    // not end the server; its lines are then lost, the service goes on.
    std::signal(SIGPIPE, SIG_IGN);
    const QString folder = m_config.programFolder;
    if (!QFileInfo(folder).isDir())
        return refuse(QStringLiteral("The data folder %1 does not exist.").arg(folder));
    QString reason;
    switch (m_lock.lock(folder, &reason)) {
    case FolderLock::Outcome::Locked:
        break;
    case FolderLock::Outcome::HeldByAnother:
        return refuse(
            QStringLiteral("Another server is already running on the data folder %1.").arg(folder));
    case FolderLock::Outcome::Failed:
        return refuse(
            QStringLiteral("The data folder %1 cannot be locked: %2").arg(folder, reason));
    }
    m_started.start();
    wireLog();
    QString problem;
    if (!m_settings.load(&problem))
        m_log.notice(problem, LogStream::Severity::Warning);
    m_login.setPasswordsRequired(m_settings.passwordsRequired());
    for (const QString &limitProblem : m_protection.problems())
        m_log.notice(limitProblem, LogStream::Severity::Warning);

    // The login listener starts before the chat one.
    m_loginListening = m_login.listen(&reason);
    if (!m_loginListening) {
        return refuse(QStringLiteral("The login service could not listen on TCP port %1: %2")
                          .arg(m_config.loginPort)
                          .arg(reason));
    }
    m_chatListening = m_chat.listen(&reason);
    if (!m_chatListening) {
        return refuse(QStringLiteral("The chat service could not listen on TCP port %1: %2")
                          .arg(m_config.chatPort)
                          .arg(reason));
    }
    if (!m_chat.loadMotd(&reason)) {
        m_log.notice(QStringLiteral("The message of the day could not be read from motd.txt: ") +
                         reason,
                     LogStream::Severity::Error);
    }

    const QString socketPath = m_config.programFile(ControlProtocol::SocketName);
    if (!m_control.listen(socketPath, &reason)) {
        return refuse(QStringLiteral("The control socket %1 could not be opened: %2")
                          .arg(socketPath, reason));
    }
    registerControlCommands(m_control, *this);
    m_signals.watch(SIGTERM, [this] { shutdown(); });
    m_signals.watch(SIGINT, [this] { shutdown(); });
    m_signals.watch(SIGHUP, [this] { reload(); });

    m_log.notice(QStringLiteral("Serving chat on TCP port %1 and logins on TCP port %2 from %3.")
                     .arg(m_chat.port())
                     .arg(m_login.port())
                     .arg(folder),
                 LogStream::Severity::Info);
    return Invocation::Done;
}

void HeadlessServer::wireLog()
{
    connect(&m_chat, &ChatServer::outputLine, &m_log, &LogStream::logLine);
    connect(&m_chat, &ChatServer::operatorNotice, &m_log,
            [this](const QString &text) { m_log.notice(text, LogStream::Severity::Info); });
    connect(&m_table, &ConnectionTable::rowChanged, &m_log, &LogStream::rowChanged);
    connect(&m_login, &LoginServer::storeProblem, &m_chat,
            [this](const QString &text) { m_chat.addOutputLine(Codepage::fromDisplay(text)); });
    connect(&m_login, &LoginServer::operatorNotice, &m_chat, &ChatServer::notifyOperator);
    connect(&m_login, &LoginServer::registeredUsersCounted, &m_log, &LogStream::logLine);
}

void HeadlessServer::shutdown()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_log.notice(QStringLiteral("Shutting down."), LogStream::Severity::Info);
    m_chat.shutdown();
    m_control.close();
    QCoreApplication::quit();
}

bool HeadlessServer::reload(QString *errorText)
{
    QString reason;
    if (!m_chat.loadMotd(&reason)) {
        const QString text =
            QStringLiteral("The message of the day could not be read from motd.txt: ") + reason;
        m_log.notice(text, LogStream::Severity::Error);
        if (errorText)
            *errorText = text;
        return false;
    }
    m_log.notice(QStringLiteral("The message of the day was read again from motd.txt."),
                 LogStream::Severity::Info);
    return true;
}
