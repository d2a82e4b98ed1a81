#include "platform/clientsocket.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <utility>

QSharedPointer<ClientSocket> ClientSocket::accept(qintptr requestId, QString *errorText)
{
    auto *socket = new QTcpSocket;
    socket->setReadBufferSize(InputBufferSize);
    if (!socket->setSocketDescriptor(requestId)) {
        if (errorText)
            *errorText = socket->errorString();
        delete socket;
        return {};
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A peer that vanished (a dropped line, a machine switched off) is found
    // within a few minutes instead of holding its slot for hours.
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int descriptor = int(requestId);
    for (const auto &[option, value] : {std::pair{TCP_KEEPIDLE, KeepAliveIdleSeconds},
                                        std::pair{TCP_KEEPINTVL, KeepAliveIntervalSeconds},
                                        std::pair{TCP_KEEPCNT, KeepAliveProbes}})
        ::setsockopt(descriptor, IPPROTO_TCP, option, &value, sizeof value);
    const QHostAddress peer = socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    const QByteArray address =
        isV4 ? QHostAddress(v4).toString().toLatin1() : peer.toString().toLatin1();
    return own(new ClientSocket(socket, address));
}

QSharedPointer<ClientSocket> ClientSocket::adopt(const HandOver &carried, const QByteArray &address,
                                                 QString *errorText)
{
    auto *socket = new QTcpSocket;
    socket->setReadBufferSize(InputBufferSize);
    // Its options (keepalive, no delay) are the socket's and came with it.
    if (!socket->setSocketDescriptor(carried.descriptor)) {
        if (errorText)
            *errorText = socket->errorString();
        delete socket;
        return {};
    }
    const QSharedPointer<ClientSocket> adopted = own(new ClientSocket(socket, address));
    adopted->m_carriedInput = carried.unreadInput;
    if (!carried.unsentOutput.isEmpty())
        adopted->write(carried.unsentOutput);
    return adopted;
}

std::optional<Transport::HandOver> ClientSocket::handOver() const
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return std::nullopt;
    HandOver carried;
    carried.descriptor = m_socket->socketDescriptor();
    carried.unreadInput = m_carriedInput + m_socket->peek(m_socket->bytesAvailable());
    carried.unsentOutput = m_socketOutput.right(m_socket->bytesToWrite()) + m_output;
    return carried;
}

ClientSocket::ClientSocket(QTcpSocket *socket, const QByteArray &remoteAddress)
    : Transport(remoteAddress), m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::channelReadyRead, this, &ClientSocket::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ClientSocket::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ClientSocket::onError);
}

ClientSocket::~ClientSocket()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

QByteArray ClientSocket::takeReceived()
{
    if (!m_carriedInput.isEmpty())
        return std::exchange(m_carriedInput, QByteArray()) + m_socket->readAll();
    return m_socket->readAll();
}

bool ClientSocket::hasReceived() const
{
    return !m_carriedInput.isEmpty() || m_socket->bytesAvailable() > 0;
}

qint64 ClientSocket::pendingOutput() const
{
    if (!m_socketMayHoldOutput)
        return m_output.size();
    const qint64 held = m_socket->bytesToWrite();
    m_socketMayHoldOutput = held > 0;
    if (held == 0)
        m_socketOutput.clear();
    return held + m_output.size();
}

void ClientSocket::write(const QByteArray &bytes)
{
    // Lines collect here and leave together once per event-loop turn: a
    // broadcast costs an append per client, not a trip through the socket's
    // buffering for every line.
    m_output += bytes;
    queueFlush();
}

void ClientSocket::flushOutput()
{
    if (m_output.isEmpty())
        return;
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        m_output.clear();
        return;
    }
    qsizetype sent = 0;
    if (pendingOutput() == m_output.size()) {
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
    if (sent < m_output.size()) {
        m_socketOutput = m_socketOutput.right(m_socket->bytesToWrite());
        m_socketOutput.append(m_output.constData() + sent, m_output.size() - sent);
        m_socket->write(m_output.constData() + sent, m_output.size() - sent);
        m_socketMayHoldOutput = true;
    }
    // Keep a modest buffer for the next turn; a burst's large one is given back.
    if (m_output.capacity() > ReusedOutputCapacity)
        m_output.clear();
    else
        m_output.resize(0);
}

void ClientSocket::endConnection(Ending ending)
{
    m_socket->disconnect(this);
    const bool connected = m_socket->state() == QAbstractSocket::ConnectedState;
    if (ending == Ending::LetOutputLeave && connected && !m_output.isEmpty())
        m_socket->write(m_output);
    m_output.clear();
    if (ending == Ending::LetOutputLeave && connected && m_socket->bytesToWrite() > 0) {
        // The last lines (a refusal, "banned", ...) leave in the background.
        m_socket->disconnectFromHost();
    } else {
        m_socket->abort();
    }
}

void ClientSocket::dispose()
{
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    QTimer::singleShot(LingerMs, this, [this] {
        m_socket->abort();
        deleteLater();
    });
}

void ClientSocket::onReadyRead()
{
    reportDataArrival();
}

void ClientSocket::onDisconnected()
{
    reportPeerClosed();
}

void ClientSocket::onError()
{
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError) {
        // disconnected() follows; the peer's close is reported there once.
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            reportPeerClosed();
    } else {
        reportFailure(int(m_socket->error()), m_socket->errorString());
    }
}
