#include "core/chatserver.h"

#include "core/codepage.h"
#include "platform/clientsocket.h"
#include "platform/eventloop.h"
#include "platform/listener.h"

#include <QFile>

namespace {
const QByteArray InGameSuffix = QByteArrayLiteral(" [IG]");
const QByteArray LeftText = QByteArrayLiteral(" got bored with life and left Tarnwick!");
} // namespace

ChatServer::ChatServer(ConnectionTable &table, const ServerConfig &config, QObject *parent)
    : QObject(parent), m_table(table), m_config(config),
      m_log(config.workingFile(QStringLiteral("log.txt"))), m_listener(new Listener(this))
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        m_sockets[i] = new ClientSocket(i, this);
        connect(m_sockets[i], &ClientSocket::dataArrival, this, &ChatServer::onDataArrival);
        connect(m_sockets[i], &ClientSocket::closed, this, &ChatServer::onClosed);
        connect(m_sockets[i], &ClientSocket::errorOccurred, this, &ChatServer::onError);
    }
    connect(m_listener, &Listener::connectionRequest, this, &ChatServer::onConnectionRequest);
}

ChatServer::~ChatServer() = default;

bool ChatServer::listen(QString *errorText)
{
    m_listener->setLocalPort(m_config.chatPort);
    return m_listener->listen(errorText);
}

quint16 ChatServer::port() const
{
    return m_listener->boundPort();
}

void ChatServer::shutdown()
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_sockets[i]->isConnected()) {
            m_sockets[i]->close();
            releaseSlot(i);
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
    return ConnectionTable::isValidIndex(index) && m_sockets[index]->isConnected();
}

bool ChatServer::send(int index, const QByteArray &line)
{
    if (!ConnectionTable::isValidIndex(index))
        return false;
    return m_sockets[index]->send(line);
}

QByteArray ChatServer::remoteAddress(int index) const
{
    if (!ConnectionTable::isValidIndex(index))
        return QByteArray();
    return m_sockets[index]->remoteAddress();
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
        if (!m_table.row(i).endsWith(InGameSuffix) && m_sockets[i]->isConnected())
            m_sockets[i]->send(line);
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
        if (m_sockets[i]->isConnected())
            m_sockets[i]->send(line);
    }
    m_sockets[index]->close();
    releaseSlot(index);
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

void ChatServer::onConnectionRequest(qintptr requestId)
{
    const int index =
        m_table.takeFree([this](int i) { return !m_sockets[i]->isConnected(); });
    if (index < 0) {
        // All 50 entries are taken: the request is refused now, not kept waiting.
        Listener::reject(requestId);
        return;
    }
    m_framers[index].clear();
    QString errorText;
    if (!m_sockets[index]->accept(requestId, &errorText)) {
        Listener::reject(requestId);
        m_table.release(index);
        notifyOperator(errorText + QStringLiteral("Listening for connection "));
    }
}

int ChatServer::acceptSimulated(const QByteArray &remoteAddress)
{
    const int index =
        m_table.takeFree([this](int i) { return !m_sockets[i]->isConnected(); });
    if (index < 0)
        return -1;
    m_framers[index].clear();
    m_sockets[index]->attachSimulated(remoteAddress);
    return index;
}

void ChatServer::onDataArrival(int index)
{
    const quint64 connection = m_table.slot(index).connection;
    if (m_table.slot(index).free || m_receiving[index] == connection)
        return; // the run already under way for this connection takes the bytes
    const quint64 outer = m_receiving[index];
    m_receiving[index] = connection;
    const Sender sender{index, connection};
    ClientSocket &socket = *m_sockets[index];
    while (isStillHere(sender) && socket.hasReceived())
        processChunk(sender, socket.takeReceived());
    if (m_receiving[index] == connection)
        m_receiving[index] = outer;
}

void ChatServer::processChunk(const Sender &sender, const QByteArray &chunk)
{
    const int s = sender.index;
    noteLogWrite(
        m_log.writeReceive(m_sockets[s]->lastRemoteAddress(), chunk, m_framers[s].pending()));
    const QList<QByteArray> lines = m_framers[s].append(chunk);
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
    const QByteArray own = m_sockets[index]->lastRemoteAddress();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_table.rowUpper(i) == claimedUpper && m_sockets[i]->remoteAddress() != own)
            return false;
    }
    return true;
}

void ChatServer::onClosed(int index)
{
    closeHandling(index);
}

void ChatServer::onError(int index, int number, const QString &description)
{
    Q_UNUSED(number);
    Q_UNUSED(description);
    closeHandling(index);
}

void ChatServer::closeHandling(int index)
{
    if (m_table.slot(index).free)
        return;
    const QByteArray name = m_table.slot(index).name;
    const QByteArray lines = "Announce\t" + name + LeftText + "\r\n" + "REMOVEUSER\t" + name
        + "\r\n" + "REMOVEUSER\t" + name + InGameSuffix + "\r\n" + "REMOVEUSER\t" + name
        + " [AW]\r\n";
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (i != index && m_sockets[i]->isConnected())
            m_sockets[i]->send(lines);
    }
    m_table.setRow(index, ConnectionTable::EmptyRow);
    m_sockets[index]->close();
    releaseSlot(index);
}

void ChatServer::releaseSlot(int index)
{
    m_framers[index].clear();
    m_table.release(index);
}
