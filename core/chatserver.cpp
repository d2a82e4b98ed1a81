#include "core/chatserver.h"

#include "core/codepage.h"
#include "core/connectionpool.h"
#include "core/loginthrottle.h"
#include "core/textfile.h"
#include "platform/ownedfiles.h"

namespace {
const QByteArray LeftText = QByteArrayLiteral(" got bored with life and left Tarnwick!");
} // namespace

ChatServer::ChatServer(ConnectionTable &table, const ServerConfig &config, QObject *parent)
    : QObject(parent), m_table(table), m_config(config), m_log(config.workingFile(OwnedFiles::Log)),
      m_pool(new ConnectionPool(
          table,
          {[this](const Sender &sender, const QByteArray &chunk, const QByteArray &pending) {
               logChunk(sender, chunk, pending);
           },
           [this](const Sender &sender, const QByteArray &line) {
               return handleLine(sender, line);
           },
           [this](int index) { closeHandling(index); },
           [this](const QString &text) { notifyOperator(text); }},
          this)),
      m_moderatorThrottle(std::make_unique<LoginThrottle>(0, 0)), m_bans(config.programFolder),
      m_sysops(config.programFile(OwnedFiles::Sysops))
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        m_leaveTimers[i].setSingleShot(true);
        connect(&m_leaveTimers[i], &QTimer::timeout, this, [this, i] { onLeaveGraceOver(i); });
    }
}

ChatServer::~ChatServer() = default;

bool ChatServer::listen(QString *errorText)
{
    return m_pool->listen(m_config.chatPort, errorText);
}

quint16 ChatServer::port() const
{
    return m_pool->port();
}

void ChatServer::setProtection(AddressLimits *addresses, const AbuseLimits &limits)
{
    m_pool->setProtection(
        {addresses, "chat", limits.floodBurst, limits.floodLinesPerSecond,
         std::chrono::seconds(limits.floodSecondsAfterClose),
         std::chrono::seconds(limits.joinSeconds), &m_bans,
         // Refused with "banned", as a join from a banned address always was.
         [](const QByteArray &line) { return line == "Name" || line.startsWith("Name\t"); }});
    m_limits = limits;
    m_moderatorThrottle = std::make_unique<LoginThrottle>(limits.loginFailuresBeforeDelay, 0);
}

void ChatServer::reportSecurityEvent(const QByteArray &line)
{
    m_pool->reportSecurityEvent(line);
}

void ChatServer::shutdown()
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_pool->isConnected(i))
            drop(i, Farewell::toNobody());
        m_table.setRow(i, ConnectionTable::EmptyRow);
    }
}

bool ChatServer::loadMotd(QString *errorText)
{
    const std::optional<QByteArray> content = TextFile::read(
        m_config.programFile(OwnedFiles::Motd), TextFile::Missing::ReadsAsEmpty, errorText);
    setMotd(content.value_or(QByteArray()));
    return content.has_value();
}

void ChatServer::setMotd(const QByteArray &text)
{
    if (m_motd == text)
        return;
    m_motd = text;
    Q_EMIT motdChanged(m_motd);
}

bool ChatServer::isConnected(int index) const
{
    return m_pool->isConnected(index);
}

bool ChatServer::send(int index, const QByteArray &line)
{
    return m_pool->send(index, line);
}

QByteArray ChatServer::remoteAddress(int index) const
{
    return m_pool->remoteAddress(index);
}

QByteArray ChatServer::lastAddress(int index) const
{
    return ConnectionTable::isValidIndex(index) ? m_pool->lastAddress(index) : QByteArray();
}

bool ChatServer::isStillHere(const Sender &sender) const
{
    return m_pool->isStillHere(sender);
}

void ChatServer::addOutputLine(const QByteArray &text)
{
    Q_EMIT outputLine(text);
}

void ChatServer::broadcastMessage(const QByteArray &text)
{
    addOutputLine(text);
    const QByteArray line = "Message\t" + text + "\t\r\n";
    ++m_table.counters().messagesRelayed;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        // A send that fails (the peer went, or stopped reading) is skipped;
        // everyone else still gets the line.
        if (!m_table.isInGame(i))
            m_pool->send(i, line);
    }
}

void ChatServer::disconnectUser(int index)
{
    if (!ConnectionTable::isValidIndex(index))
        return;
    // Only the leaving connection's own row is emptied: other users whose
    // names begin with this one keep theirs.
    drop(index, Farewell::toEveryone(messageLine({"REMOVEUSER", m_table.slot(index).name})));
}

void ChatServer::dropQuietly(int index)
{
    drop(index, Farewell::toNobody());
}

void ChatServer::endIfPeerLeft(int index)
{
    if (m_pool->hasPeerLeft(index))
        closeHandling(index);
}

void ChatServer::closeAfterGrace(const Sender &sender)
{
    if (m_limits.leaveGraceSeconds <= 0 || !isStillHere(sender))
        return;
    m_leaving[sender.index] = sender.connection;
    m_leaveTimers[sender.index].start(std::chrono::seconds(m_limits.leaveGraceSeconds));
}

qint64 ChatServer::leaveGraceLeftMs(int index) const
{
    if (!m_leaveTimers[index].isActive() || !isStillHere(Sender{index, m_leaving[index]}))
        return -1;
    return std::max(0, m_leaveTimers[index].remainingTime());
}

void ChatServer::resumeLeaveGrace(int index, std::chrono::milliseconds left)
{
    m_leaving[index] = m_table.slot(index).connection;
    m_leaveTimers[index].start(left);
}

void ChatServer::onLeaveGraceOver(int index)
{
    if (isStillHere(Sender{index, m_leaving[index]}))
        closeHandling(index);
}

void ChatServer::drop(int index, const Farewell &farewell)
{
    m_leaveTimers[index].stop();
    m_pool->drop(index, farewell);
}

bool ChatServer::logEvent(const QByteArray &text)
{
    const bool written = m_log.writeEvent(text);
    noteLogWrite(written);
    return written;
}

void ChatServer::notifyOperator(const QString &text)
{
    Q_EMIT operatorNotice(text);
}

void ChatServer::reportFileProblem(const QString &path, const QString &text)
{
    if (m_fileProblems.contains(path))
        return;
    m_fileProblems.insert(path);
    addOutputLine(Codepage::fromDisplay(text));
}

void ChatServer::clearFileProblem(const QString &path)
{
    m_fileProblems.remove(path);
}

void ChatServer::noteLogWrite(bool written)
{
    if (written) {
        clearFileProblem(m_log.path());
        return;
    }
    reportFileProblem(
        m_log.path(),
        QStringLiteral("Cannot write the log %1: %2. Nothing is logged until it can be.")
            .arg(m_log.path(), m_log.errorString()));
}

void ChatServer::logChunk(const Sender &sender, const QByteArray &chunk, const QByteArray &pending)
{
    noteLogWrite(m_log.writeReceive(m_pool->lastAddress(sender.index), chunk, pending));
}

HandlerOutcome ChatServer::handleLine(const Sender &sender, const QByteArray &line)
{
    const Fields fields = line.split('\t');
    if (!passesNameClaim(sender.index, fields))
        return HandlerOutcome::Stop;
    return m_lineHandler ? m_lineHandler(sender, fields) : HandlerOutcome::NextLine;
}

// A line whose field 1 is a listed display name followed by ": " must come
// from that user's address.
bool ChatServer::passesNameClaim(int index, const Fields &fields) const
{
    const QByteArray *claim = field(fields, 1);
    if (!claim || !claim->endsWith(": "))
        return true;
    const FoldedName claimed(claim->chopped(2));
    const QByteArray &own = m_pool->lastAddress(index);
    for (int i = m_table.findRow(claimed); i >= 0; i = m_table.findRow(claimed, i + 1)) {
        if (m_pool->remoteAddress(i) != own)
            return false;
    }
    return true;
}

void ChatServer::closeHandling(int index)
{
    if (m_table.slot(index).free)
        return;
    const QByteArray &name = m_table.slot(index).name;
    drop(index, Farewell::toEveryone(
                    messageLine({"Announce", QByteArray(name + LeftText)}) +
                    messageLine({"REMOVEUSER", name}) +
                    messageLine({"REMOVEUSER", QByteArray(name + ConnectionTable::InGameSuffix)}) +
                    messageLine({"REMOVEUSER", QByteArray(name + ConnectionTable::AwaySuffix)})));
}
