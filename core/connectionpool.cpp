#include "connectionpool.h"

#include "platform/clientsocket.h"
#include "platform/listener.h"

ConnectionPool::ConnectionPool(ConnectionTable &table, Handlers handlers, QObject *parent)
    : QObject(parent), m_table(table), m_handlers(std::move(handlers)),
      m_listener(new Listener(this))
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        m_sockets[i] = new ClientSocket(i, this);
        connect(m_sockets[i], &ClientSocket::dataArrival, this, &ConnectionPool::onDataArrival);
        connect(m_sockets[i], &ClientSocket::closed, this,
                [this](int index) { m_handlers.ended(index); });
        connect(m_sockets[i], &ClientSocket::errorOccurred, this,
                [this](int index) { m_handlers.ended(index); });
    }
    connect(m_listener, &Listener::connectionRequest, this, &ConnectionPool::onConnectionRequest);
}

ConnectionPool::~ConnectionPool() = default;

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
    return ConnectionTable::isValidIndex(index) && m_sockets[index]->isConnected();
}

int ConnectionPool::takeFree()
{
    const int index = m_table.takeFree([this](int i) { return !m_sockets[i]->isConnected(); });
    if (index >= 0)
        m_framers[index].clear();
    return index;
}

int ConnectionPool::acceptSimulated(const QByteArray &remoteAddress)
{
    const int index = takeFree();
    if (index >= 0)
        m_sockets[index]->attachSimulated(remoteAddress);
    return index;
}

void ConnectionPool::release(int index)
{
    m_framers[index].clear();
    m_table.release(index);
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
    if (!m_sockets[index]->accept(requestId, &errorText)) {
        Listener::reject(requestId);
        m_table.release(index);
        m_handlers.acceptFailed(errorText + QStringLiteral("Listening for connection "));
    }
}

void ConnectionPool::onDataArrival(int index)
{
    const quint64 connection = m_table.slot(index).connection;
    if (m_table.slot(index).free || m_receiving[index] == connection)
        return; // the run already under way for this connection takes the bytes
    const quint64 outer = m_receiving[index];
    m_receiving[index] = connection;
    ClientSocket &socket = *m_sockets[index];
    while (m_table.slot(index).connection == connection && socket.hasReceived())
        m_handlers.chunk(index, connection, socket.takeReceived());
    if (m_receiving[index] == connection)
        m_receiving[index] = outer;
}
