#include "core/chatserver.h"

#include "core/codepage.h"
#include "core/connectionpool.h"
#include "platform/clientsocket.h"
#include "platform/eventloop.h"

#include <QFile>

namespace {
const QByteArray InGameSuffix = QByteArrayLiteral(" [IG]");
const QByteArray LeftText = QByteArrayLiteral(" got bored with life and left Tarnwick!");
} // namespace

ChatServer::ChatServer(ConnectionTable &table, const ServerConfig &config, QObject *parent)
    : QObject(parent), m_table(table), m_config(config),
      m_log(config.workingFile(QStringLiteral("log.txt"))),
      m_pool(new ConnectionPool(table,
                                {[this](int index, quint64 connection, const QByteArray &chunk) {
                                     processChunk(Sender{index, connection}, chunk);
                                 },
                                 [this](int index) { closeHandling(index); },
                                 [this](const QString &text) { notifyOperator(text); }},
                                this))
{
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

void ChatServer::shutdown()
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_pool->socket(i).isConnected()) {
            m_pool->socket(i).close();
            m_pool->release(i);
        }
        m_table.setRow(i, ConnectionTable::EmptyRow);
    }
}

bool ChatServer::loadMotd(QString *errorText)
{
    QFile file(m_config.programFile(QStringLiteral("motd.txt")));
    if (!file.exists()) {
        setMotd(QByteArray());
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (errorText)
            *errorText = file.errorString();
        setMotd(QByteArray());
        return false;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (errorText)
            *errorText = file.errorString();
        setMotd(QByteArray());
        return false;
    }
    setMotd(content);
    return true;
}

void ChatServer::setMotd(const QByteArray &text)
{
    if (m_motd == text)
        return;
    m_motd = text;
    Q_EMIT motdChanged(m_motd);
}

void ChatServer::setHandler(Command command, CommandHandler handler)
{
    m_handlers[int(command)] = handler;
}

bool ChatServer::isConnected(int index) const
{
    return m_pool->isConnected(index);
}

bool ChatServer::send(int index, const QByteArray &line)
{
    if (!ConnectionTable::isValidIndex(index))
        return false;
    return m_pool->socket(index).send(line);
}

QByteArray ChatServer::remoteAddress(int index) const
{
    if (!ConnectionTable::isValidIndex(index))
        return QByteArray();
    return m_pool->socket(index).remoteAddress();
}

bool ChatServer::isStillHere(const Sender &sender) const
{
    return m_table.slot(sender.index).connection == sender.connection;
}

bool ChatServer::yieldFor(const Sender &sender)
{
    yieldEventLoop();
    return isStillHere(sender);
}

void ChatServer::addOutputLine(const QByteArray &text)
{
    Q_EMIT outputLine(text);
}

void ChatServer::broadcastMessage(const QByteArray &text)
{
    addOutputLine(text);
    const QByteArray line = "Message\t" + text + "\t\r\n";
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        // A send that fails (the peer went, or stopped reading) is skipped;
        // everyone else still gets the line.
        if (!m_table.row(i).endsWith(InGameSuffix) && m_pool->socket(i).isConnected())
            m_pool->socket(i).send(line);
        yieldEventLoopInTightLoop();
    }
}

void ChatServer::disconnectUser(int index)
{
    if (!ConnectionTable::isValidIndex(index))
        return;
    const QByteArray name = m_table.slot(index).name;
    // Only the leaving connection's own row is emptied: other users whose
    // names begin with this one keep theirs.
    m_table.setRow(index, ConnectionTable::EmptyRow);
    const QByteArray line = "REMOVEUSER\t" + name + "\r\n";
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_pool->socket(i).isConnected())
            m_pool->socket(i).send(line);
    }
    m_pool->socket(index).close();
    m_pool->release(index);
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

ClientSocket &ChatServer::socket(int index)
{
    return m_pool->socket(index);
}

int ChatServer::acceptSimulated(const QByteArray &remoteAddress)
{
    return m_pool->acceptSimulated(remoteAddress);
}

void ChatServer::processChunk(const Sender &sender, const QByteArray &chunk)
{
    const int s = sender.index;
    noteLogWrite(m_log.writeReceive(m_pool->socket(s).lastRemoteAddress(), chunk,
                                    m_pool->framer(s).pending()));
    const QList<QByteArray> lines = m_pool->framer(s).append(chunk);
    for (const QByteArray &line : lines) {
        if (!isStillHere(sender))
            return;
        const Fields fields = line.split('\t');
        if (!passesNameClaim(s, fields))
            return;
        const std::optional<Command> command = findCommand(fields.constFirst());
        if (!command)
            continue;
        const CommandHandler handler = m_handlers[int(*command)];
        if (!handler)
            continue;
        if (handler(*this, sender, fields) == HandlerOutcome::Stop)
            return;
    }
}

// A line whose field 1 is a listed display name followed by ": " must come
// from that user's address.
bool ChatServer::passesNameClaim(int index, const Fields &fields) const
{
    const QByteArray *claim = field(fields, 1);
    if (!claim || !claim->endsWith(": "))
        return true;
    const QByteArray claimedUpper = Codepage::toUpper(claim->chopped(2));
    const QByteArray own = m_pool->socket(index).lastRemoteAddress();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_table.rowUpper(i) == claimedUpper && m_pool->socket(i).remoteAddress() != own)
            return false;
    }
    return true;
}

void ChatServer::closeHandling(int index)
{
    if (m_table.slot(index).free)
        return;
    const QByteArray name = m_table.slot(index).name;
    const QByteArray lines = "Announce\t" + name + LeftText + "\r\n" + "REMOVEUSER\t" + name +
                             "\r\n" + "REMOVEUSER\t" + name + InGameSuffix + "\r\n" +
                             "REMOVEUSER\t" + name + " [AW]\r\n";
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (i != index && m_pool->socket(i).isConnected())
            m_pool->socket(i).send(lines);
    }
    m_table.setRow(index, ConnectionTable::EmptyRow);
    m_pool->socket(index).close();
    m_pool->release(index);
}
