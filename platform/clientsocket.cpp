#include "platform/clientsocket.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <utility>

ClientSocket::ClientSocket(int index, QObject *parent)
    : QObject(parent), m_index(index), m_socket(nullptr)
{
    attachFreshSocket();
}

void ClientSocket::attachFreshSocket()
{
    m_socket = new QTcpSocket(this);
    // A client that sends faster than we handle is held back by TCP instead
    // of growing our memory.
    m_socket->setReadBufferSize(InputBufferSize);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientSocket::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ClientSocket::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ClientSocket::onError);
}

void ClientSocket::detachSocket(bool graceful)
{
    QTcpSocket *old = m_socket;
    old->disconnect(this);
    if (graceful && old->state() == QAbstractSocket::ConnectedState && !m_output.isEmpty())
        old->write(m_output);
    m_output.clear();
    if (graceful && old->state() == QAbstractSocket::ConnectedState && old->bytesToWrite() > 0) {
        // Let the last lines (a refusal, "banned", ...) leave in the background;
        // the element itself is free for the next connection at once.
        old->disconnectFromHost();
    } else {
        old->abort();
    }
    if (m_emitting.contains(old))
        m_detached.insert(old);
    else
        dispose(old);
    attachFreshSocket();
}

void ClientSocket::dispose(QTcpSocket *socket)
{
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(5000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void ClientSocket::beginEmitting(QTcpSocket *socket)
{
    ++m_emitting[socket];
}

void ClientSocket::endEmitting(QTcpSocket *socket)
{
    if (--m_emitting[socket] > 0)
        return;
    m_emitting.remove(socket);
    // Deleted later from this emission's own level: after it has unwound.
    if (m_detached.remove(socket))
        dispose(socket);
}

ClientSocket::~ClientSocket()
{
    m_open = false;
    m_socket->disconnect(this);
    m_socket->abort();
}

bool ClientSocket::accept(qintptr requestId, QString *errorText)
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        detachSocket(false);
    if (!m_socket->setSocketDescriptor(requestId)) {
        if (errorText)
            *errorText = m_socket->errorString();
        return false;
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QHostAddress peer = m_socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    m_remote = isV4 ? QHostAddress(v4).toString().toLatin1() : peer.toString().toLatin1();
    ++m_generation;
    m_simulated = false;
    m_open = true;
    return true;
}

int ClientSocket::state() const
{
    if (m_simulated)
        return m_open ? StateConnected : StateClosed;
    return m_open && m_socket->state() == QAbstractSocket::ConnectedState ? StateConnected
                                                                          : StateClosed;
}

bool ClientSocket::send(const QByteArray &bytes)
{
    if (state() != StateConnected)
        return false;
    if (m_simulated) {
        if (m_simulatedOutput.size() + bytes.size() > OutputCap)
            m_simulatedOutput.clear();
        m_simulatedOutput += bytes;
        return true;
    }
    if (pendingOutput() + bytes.size() > OutputCap) {
        // Drop the connection now; the owner hears about it once the current
        // handler has returned, like any other error.
        m_open = false;
        detachSocket(false);
        const quint64 generation = ++m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation != m_generation)
                return; // closed by us or reused meanwhile
            Q_EMIT errorOccurred(m_index, int(QAbstractSocket::SocketResourceError),
                                 QStringLiteral("Output limit exceeded"));
        });
        return false;
    }
    // Lines collect here and leave together once per event-loop turn: a
    // broadcast costs an append per client, not a trip through the socket's
    // buffering for every line.
    m_output += bytes;
    if (!m_flushQueued) {
        m_flushQueued = true;
        QMetaObject::invokeMethod(this, &ClientSocket::flushOutput, Qt::QueuedConnection);
    }
    return true;
}

void ClientSocket::flushOutput()
{
    m_flushQueued = false;
    if (m_output.isEmpty())
        return;
    if (!m_open || m_socket->state() != QAbstractSocket::ConnectedState) {
        m_output.clear();
        return;
    }
    qsizetype sent = 0;
    if (m_socket->bytesToWrite() == 0) {
        // Nothing older is waiting in the socket's own buffer, so the batch can
        // go straight to the system in one call; only what the system cannot
        // take yet goes through that buffer (and its write notifications).
        const int descriptor = int(m_socket->socketDescriptor());
        for (;;) {
            const ssize_t n = ::send(descriptor, m_output.constData() + sent,
                                     size_t(m_output.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += n;
            if (n > 0 && sent < m_output.size())
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            break; // all sent, or the system is full, or an error the socket will report
        }
    }
    if (sent < m_output.size())
        m_socket->write(m_output.constData() + sent, m_output.size() - sent);
    // Keep a modest buffer for the next turn; a burst's large one is given back.
    if (m_output.capacity() > ReusedOutputCapacity)
        m_output.clear();
    else
        m_output.resize(0);
}
QByteArray ClientSocket::takeReceived()
{
    if (m_simulated)
        return std::exchange(m_simulatedInput, QByteArray());
    return m_socket->readAll();
}

bool ClientSocket::hasReceived() const
{
    if (m_simulated)
        return !m_simulatedInput.isEmpty();
    return m_socket->bytesAvailable() > 0;
}

void ClientSocket::attachSimulated(const QByteArray &remoteAddress)
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        detachSocket(false);
    m_simulated = true;
    m_simulatedInput.clear();
    m_simulatedOutput.clear();
    m_remote = remoteAddress;
    ++m_generation;
    m_open = true;
}

void ClientSocket::simulateReceive(const QByteArray &bytes)
{
    if (!m_simulated || !m_open)
        return;
    m_simulatedInput += bytes;
    Q_EMIT dataArrival(m_index);
}

void ClientSocket::simulatePeerClose()
{
    if (!m_simulated || !m_open)
        return;
    m_open = false;
    m_simulatedInput.clear();
    Q_EMIT closed(m_index);
}

QByteArray ClientSocket::takeSimulatedOutput()
{
    return std::exchange(m_simulatedOutput, QByteArray());
}

void ClientSocket::close()
{
    m_open = false;
    ++m_generation;
    if (m_simulated) {
        m_simulated = false;
        m_simulatedInput.clear();
        return;
    }
    detachSocket(true);
}

QByteArray ClientSocket::remoteAddress() const
{
    return state() == StateConnected ? m_remote : QByteArray();
}

QByteArray ClientSocket::lastRemoteAddress() const
{
    return m_remote;
}

qint64 ClientSocket::pendingOutput() const
{
    return m_socket->bytesToWrite() + m_output.size();
}

void ClientSocket::onReadyRead()
{
    QTcpSocket *const source = m_socket;
    beginEmitting(source);
    if (m_open)
        Q_EMIT dataArrival(m_index);
    endEmitting(source);
}

void ClientSocket::onDisconnected()
{
    QTcpSocket *const source = m_socket;
    beginEmitting(source);
    reportLost(false, 0, QString());
    endEmitting(source);
}

void ClientSocket::onError()
{
    QTcpSocket *const source = m_socket;
    beginEmitting(source);
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError) {
        // disconnected() follows; the peer's close is reported there once.
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            reportLost(false, 0, QString());
    } else {
        reportLost(true, int(m_socket->error()), m_socket->errorString());
    }
    endEmitting(source);
}

void ClientSocket::reportLost(bool asError, int number, const QString &description)
{
    if (!m_open)
        return;
    // Bytes that came with the close are still handed over first.
    if (m_socket->bytesAvailable() > 0)
        Q_EMIT dataArrival(m_index);
    if (!m_open)
        return;
    m_open = false;
    if (asError)
        Q_EMIT errorOccurred(m_index, number, description);
    else
        Q_EMIT closed(m_index);
}
