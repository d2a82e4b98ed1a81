#include "rawclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {
constexpr qsizetype ReadChunk = 64 * 1024;
// Bounded per call so that one busy connection does not starve the others.
constexpr qint64 MaxReadPerCall = 1024 * 1024;

sockaddr_in loopbackAddress(const QString &address, quint16 port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &result.sin_addr);
    return result;
}
} // namespace

QList<QByteArray> leavingLines(const QByteArray &name)
{
    return {"Announce\t" + name + " got bored with life and left Tarnwick!\r\n",
            "REMOVEUSER\t" + name + "\r\n", "REMOVEUSER\t" + name + " [IG]\r\n",
            "REMOVEUSER\t" + name + " [AW]\r\n"};
}

RawClient::RawClient(Mode mode) : m_mode(mode) {}

RawClient::~RawClient()
{
    abort();
}

std::unique_ptr<RawClient> RawClient::connected(quint16 port, const QString &from)
{
    auto client = std::make_unique<RawClient>();
    if (!client->connectTo(port, from))
        qWarning("could not connect from %s", qPrintable(from));
    return client;
}

std::unique_ptr<RawClient> RawClient::joined(quint16 port, const QByteArray &name,
                                             const QString &from)
{
    auto client = connected(port, from);
    if (!client->join(name))
        qWarning("the join of %s did not end", name.constData());
    return client;
}

bool RawClient::startConnect(quint16 port, const QString &from, int receiveBufferBytes)
{
    abort();
    m_peerEnded = m_halfClosed = false;
    m_in.clear();
    m_bytesReceived = 0;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBufferBytes > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    const sockaddr_in local = loopbackAddress(from, 0);
    const sockaddr_in server = loopbackAddress(QStringLiteral("127.0.0.1"), port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        abort();
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
        if (errno != EINPROGRESS) {
            abort();
            return false;
        }
        m_connecting = true;
    }
    if (m_mode == Mode::EventLoop) {
        m_readable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_readable.get(), &QSocketNotifier::activated, m_readable.get(),
                         [this] { receive(); });
        m_writable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
        m_writable->setEnabled(false);
        QObject::connect(m_writable.get(), &QSocketNotifier::activated, m_writable.get(),
                         [this] { flush(); });
    }
    return true;
}

bool RawClient::finishConnect()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return false;
    m_connecting = false;
    return flush();
}

bool RawClient::connectTo(quint16 port, const QString &from, int receiveBufferBytes)
{
    if (!startConnect(port, from, receiveBufferBytes))
        return false;
    pollfd waiting{m_fd, POLLOUT, 0};
    if (m_connecting && (::poll(&waiting, 1, 3000) != 1 || !finishConnect())) {
        abort();
        return false;
    }
    // Let the server in this thread run its accept before the caller goes on.
    if (m_mode == Mode::EventLoop)
        waitUntil([] { return false; }, 20);
    return isOpen() && !m_peerEnded;
}

bool RawClient::isConnected()
{
    if (isOpen() && !m_connecting)
        receive();
    return isOpen() && !m_connecting && !m_peerEnded;
}

void RawClient::send(const QByteArray &bytes)
{
    if (!isOpen() || m_halfClosed || m_peerEnded)
        return;
    m_out.append(bytes);
    flush();
}

bool RawClient::flush()
{
    if (!isOpen())
        return false;
    while (!m_connecting && m_outOffset < m_out.size()) {
        const ssize_t n = ::send(m_fd, m_out.constData() + m_outOffset,
                                 size_t(m_out.size() - m_outOffset), MSG_NOSIGNAL);
        if (n >= 0) {
            m_outOffset += n;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            m_peerEnded = true;
            m_out.clear();
            m_outOffset = 0;
            return false;
        }
    }
    if (m_outOffset == m_out.size()) {
        m_out.clear();
        m_outOffset = 0;
    }
    if (m_writable)
        m_writable->setEnabled(hasUnsent() && !m_connecting);
    return true;
}

void RawClient::receive()
{
    qint64 total = 0;
    while (isOpen() && !m_connecting && !m_peerEnded && total < MaxReadPerCall) {
        const qsizetype old = m_in.size();
        m_in.resize(old + ReadChunk);
        const ssize_t n = ::recv(m_fd, m_in.data() + old, size_t(ReadChunk), 0);
        m_in.resize(old + std::max<qsizetype>(n, 0));
        if (n > 0) {
            total += n;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            m_peerEnded = true;
        } else if (errno != EINTR) {
            break;
        }
    }
    m_bytesReceived += total;
    if (m_readable && m_peerEnded)
        m_readable->setEnabled(false);
}

qint64 RawClient::readAvailable(const std::function<void(QByteArrayView)> &onLine)
{
    const qint64 before = m_bytesReceived;
    receive();
    qsizetype start = 0;
    for (qsizetype end; (end = m_in.indexOf("\r\n", start)) >= 0; start = end + 2)
        onLine(QByteArrayView(m_in).sliced(start, end + 2 - start));
    m_in.remove(0, start);
    return m_bytesReceived - before;
}

bool RawClient::takeLine(QByteArray *line)
{
    const qsizetype end = m_in.indexOf("\r\n");
    if (end < 0)
        return false;
    *line = m_in.left(end + 2);
    m_in.remove(0, end + 2);
    return true;
}

bool RawClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (m_mode == Mode::EventLoop)
            QCoreApplication::processEvents();
        flush();
        receive();
        if (done())
            return true;
        if (!isOpen() || m_peerEnded || deadline.hasExpired())
            return false;
        pollfd waiting{m_fd, short(POLLIN | (hasUnsent() ? POLLOUT : 0)), 0};
        // In this thread a server needs the event loop to make progress.
        const qint64 remaining = std::clamp<qint64>(deadline.remainingTime(), 1, 50);
        ::poll(&waiting, 1, m_mode == Mode::EventLoop ? 1 : int(remaining));
    }
}

bool RawClient::join(const QByteArray &name)
{
    send("Name\t" + name + "\r\nMOTD\r\n");
    // The reply holds the same lines as the MOTD the join began with, which
    // runs up to its GETPROFILE line.
    int motdLines = 0;
    bool inFirstMotd = false;
    for (int motdReplies = 0;;) {
        const QList<QByteArray> lines = readLines(1);
        if (lines.isEmpty())
            return false;
        const QByteArray &line = lines.constFirst();
        if (line.startsWith("MOTD\t") && ++motdReplies == 2)
            return readLines(motdLines - 1).size() == motdLines - 1;
        inFirstMotd = motdReplies == 1 && (inFirstMotd || line.startsWith("MOTD\t")) &&
                      !line.startsWith("GETPROFILE\t");
        motdLines += inFirstMotd ? 1 : 0;
    }
}

QList<QByteArray> RawClient::readLines(int count, int timeoutMs)
{
    QList<QByteArray> lines;
    QByteArray line;
    waitUntil(
        [&] {
            while (lines.size() < count && takeLine(&line))
                lines.append(line);
            return lines.size() >= count;
        },
        timeoutMs);
    return lines;
}

bool RawClient::waitForLine(const QByteArray &wanted, int timeoutMs, QList<QByteArray> *seen)
{
    QByteArray line;
    return waitUntil(
        [&] {
            while (takeLine(&line)) {
                if (seen)
                    seen->append(line);
                if (line == wanted)
                    return true;
            }
            return false;
        },
        timeoutMs);
}

QByteArray RawClient::readBytes(qsizetype size, int timeoutMs)
{
    waitUntil([&] { return m_in.size() >= size; }, timeoutMs);
    return std::exchange(m_in, QByteArray());
}

bool RawClient::waitForDisconnect(int timeoutMs)
{
    return waitUntil([this] { return !isOpen() || m_peerEnded; }, timeoutMs);
}

void RawClient::end(Ending how)
{
    if (!isOpen())
        return;
    switch (how) {
    case Ending::Close:
        flush();
        abort();
        break;
    case Ending::Reset: {
        const linger immediately{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
        abort();
        break;
    }
    case Ending::HalfClose:
        flush();
        ::shutdown(m_fd, SHUT_WR);
        m_halfClosed = true;
        break;
    case Ending::CloseMidLine:
        send("Message\tcut off in the mid");
        close();
        break;
    }
}

void RawClient::abort()
{
    m_readable.reset();
    m_writable.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_connecting = false;
    m_out.clear();
    m_outOffset = 0;
}

QList<QByteArray> addUserLinesOfJoin(RawClient &client, const QByteArray &name,
                                     const QByteArray &motdLine)
{
    QList<QByteArray> lines;
    client.sendLine("Name\t" + name);
    client.waitForLine("ADDUSER\t" + name + "\r\n", 10000, &lines);
    client.sendLine("MOTD");
    client.waitForLine(motdLine, 10000, &lines);
    QList<QByteArray> added;
    for (const QByteArray &line : std::as_const(lines)) {
        if (line.startsWith("ADDUSER\t"))
            added.append(line);
    }
    return added;
}
