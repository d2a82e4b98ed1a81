#include "connectionpool.h"

#include "platform/clientsocket.h"
#include "platform/listener.h"

#include <utility>

ConnectionPool::ConnectionPool(ConnectionTable &table, Handlers handlers, QObject *parent)
    : QObject(parent), m_table(table), m_handlers(std::move(handlers)),
      m_listener(new Listener(this))
{
    connect(m_listener, &Listener::connectionRequest, this, &ConnectionPool::onConnectionRequest);
}

ConnectionPool::~ConnectionPool()
{
    for (int i = 0; i < ConnectionTable::Size; ++i)
        detach(i);
}

bool ConnectionPool::listen(quint16 port, QString *errorText)
{
    m_listener->setLocalPort(port);
    return m_listener->listen(errorText);
}

quint16 ConnectionPool::port() const
{
    return m_listener->boundPort();
}

bool ConnectionPool::isConnected(int index) const
{
    if (!ConnectionTable::isValidIndex(index))
        return false;
    const Transport *transport = m_entries[index].transport.get();
    return transport && transport->isConnected();
}

bool ConnectionPool::send(int index, const QByteArray &line)
{
    return isConnected(index) && m_entries[index].transport->send(line);
}

QByteArray ConnectionPool::remoteAddress(int index) const
{
    return isConnected(index) ? m_entries[index].address : QByteArray();
}

bool ConnectionPool::isStillHere(const Sender &sender) const
{
    return m_table.slot(sender.index).connection == sender.connection;
}

int ConnectionPool::takeFree()
{
    return m_table.takeFree([this](int i) { return !isConnected(i); });
}

int ConnectionPool::accept(const QSharedPointer<Transport> &transport)
{
    const int index = takeFree();
    if (index < 0) {
        transport->close();
        return -1;
    }
    attach(index, transport);
    return index;
}

void ConnectionPool::onConnectionRequest(qintptr requestId)
{
    const int index = takeFree();
    if (index < 0) {
        // All 50 entries are taken (by both services): refused now, not kept waiting.
        Listener::reject(requestId);
        return;
    }
    QString errorText;
    const QSharedPointer<ClientSocket> socket = ClientSocket::accept(requestId, &errorText);
    if (!socket) {
        Listener::reject(requestId);
        m_table.release(index);
        m_handlers.acceptFailed(errorText + QStringLiteral("Listening for connection "));
        return;
    }
    attach(index, socket);
}

void ConnectionPool::attach(int index, const QSharedPointer<Transport> &transport)
{
    detach(index);
    Entry &entry = m_entries[index];
    entry.transport = transport;
    entry.framer.clear();
    entry.address = transport->remoteAddress();
    Transport *t = transport.get();
    connect(t, &Transport::dataArrival, this, [this, index] { onDataArrival(index); });
    connect(t, &Transport::closed, this, [this, index] { onConnectionLost(index); });
    connect(t, &Transport::failed, this, [this, index] { onConnectionLost(index); });
}

// Our own close: nothing the connection does afterwards reaches the service.
void ConnectionPool::detach(int index)
{
    Entry &entry = m_entries[index];
    if (!entry.transport)
        return;
    entry.transport->disconnect(this);
    entry.transport->close();
    entry.transport.reset();
    entry.framer.clear();
}

void ConnectionPool::drop(int index, const Farewell &farewell)
{
    if (!farewell.lines.isEmpty()) {
        for (int i = 0; i < ConnectionTable::Size; ++i)
            send(i, farewell.lines);
    }
    m_table.setRow(index, ConnectionTable::EmptyRow);
    detach(index);
    m_table.release(index);
}

ConnectionPool::Entry &ConnectionPool::receivingEntry(const Sender &sender)
{
    Entry &entry = m_entries[sender.index];
    if (entry.receivingConnection != sender.connection) {
        entry.receivingConnection = sender.connection;
        entry.receiving = 0;
        entry.waitingAt = 0;
    }
    return entry;
}

void ConnectionPool::onDataArrival(int index)
{
    const Sender sender{index, m_table.slot(index).connection};
    Entry &entry = receivingEntry(sender);
    // Only the run that waits for the operator lets another one in; what comes
    // meanwhile is taken by the innermost run when it gets back to reading.
    if (entry.receiving != entry.waitingAt)
        return;
    ++entry.receiving;
    receive(sender);
    if (entry.receivingConnection == sender.connection)
        --entry.receiving;
}

void ConnectionPool::whileWaitingForOperator(const Sender &sender,
                                             const std::function<void()> &wait)
{
    Entry &entry = receivingEntry(sender);
    const int outer = std::exchange(entry.waitingAt, entry.receiving);
    // Chunks that came before the wait began are let through as well.
    if (isConnected(sender.index) && entry.transport->hasReceived())
        QMetaObject::invokeMethod(
            this,
            [this, sender] {
                if (isStillHere(sender))
                    onDataArrival(sender.index);
            },
            Qt::QueuedConnection);
    wait();
    if (entry.receivingConnection == sender.connection)
        entry.waitingAt = outer;
}

void ConnectionPool::receive(const Sender &sender)
{
    Entry &entry = m_entries[sender.index];
    // Held, with its signal, until this chunk is done: a handler may drop it.
    const QSharedPointer<Transport> transport = entry.transport;
    while (isStillHere(sender) && transport->hasReceived()) {
        const QByteArray chunk = transport->takeReceived();
        if (m_handlers.chunkArrived)
            m_handlers.chunkArrived(sender, chunk, entry.framer.pending());
        const QList<QByteArray> lines = entry.framer.append(chunk);
        for (const QByteArray &line : lines) {
            if (!isStillHere(sender) ||
                m_handlers.lineArrived(sender, line) == HandlerOutcome::Stop)
                break;
        }
    }
}

void ConnectionPool::onConnectionLost(int index)
{
    m_handlers.connectionLost(index);
}
