#include "loadconnection.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr qint64 ReadChunk = 64 * 1024;
// Bounded per call so that one busy connection does not starve the others.
constexpr qint64 MaxReadPerCall = 1024 * 1024;

sockaddr_in loopbackAddress(const QByteArray &address, quint16 port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address.constData(), &result.sin_addr);
    return result;
}
} // namespace

LoadConnection::~LoadConnection()
{
    close();
}

bool LoadConnection::connectTo(quint16 port, const QByteArray &localAddress, int receiveBufferBytes,
                               int timeoutMs)
{
    close();
    m_peerEnded = m_halfClosed = false;
    m_out.clear();
    m_outOffset = 0;
    m_carry.clear();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (receiveBufferBytes > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    const sockaddr_in local = loopbackAddress(localAddress, 0);
    const sockaddr_in server = loopbackAddress(QByteArrayLiteral("127.0.0.1"), port);
    pollfd waiting{m_fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        (::connect(m_fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0 &&
         errno != EINPROGRESS) ||
        ::poll(&waiting, 1, timeoutMs) != 1 ||
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        close();
        return false;
    }
    return true;
}

void LoadConnection::send(const QByteArray &bytes)
{
    if (m_fd < 0 || m_halfClosed)
        return;
    m_out += bytes;
    flush();
}

void LoadConnection::flush()
{
    while (m_fd >= 0 && m_outOffset < m_out.size()) {
        const ssize_t n = ::send(m_fd, m_out.constData() + m_outOffset,
                                 size_t(m_out.size() - m_outOffset), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            m_peerEnded = true;
            m_out.clear();
            m_outOffset = 0;
            return;
        }
        m_outOffset += n;
    }
    if (m_outOffset == m_out.size()) {
        m_out.clear();
        m_outOffset = 0;
    }
}

qint64 LoadConnection::readLines(QList<QByteArray> *lines)
{
    qint64 total = 0;
    char buffer[ReadChunk];
    while (m_fd >= 0 && !m_peerEnded && total < MaxReadPerCall) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            m_peerEnded = true;
            break;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_peerEnded = errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        total += n;
        m_carry.append(buffer, n);
    }
    m_bytesReceived += total;
    qsizetype start = 0;
    while (true) {
        const qsizetype end = m_carry.indexOf("\r\n", start);
        if (end < 0)
            break;
        if (lines)
            lines->append(m_carry.mid(start, end + 2 - start));
        start = end + 2;
    }
    m_carry.remove(0, start);
    return total;
}

void LoadConnection::end(Ending how)
{
    if (m_fd < 0)
        return;
    switch (how) {
    case Ending::Close:
        close();
        break;
    case Ending::Reset: {
        const linger immediately{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
        close();
        break;
    }
    case Ending::HalfClose:
        flush();
        ::shutdown(m_fd, SHUT_WR);
        m_halfClosed = true;
        break;
    case Ending::CloseMidLine:
        send(QByteArrayLiteral("Message\tcut off in the mid"));
        close();
        break;
    }
}

void LoadConnection::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool LoadConnection::waitForLine(const QByteArray &wanted, int timeoutMs, QList<QByteArray> *seen)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_fd >= 0) {
        QList<QByteArray> lines;
        readLines(&lines);
        bool found = false;
        for (const QByteArray &line : std::as_const(lines)) {
            found = found || line == wanted;
            if (seen)
                seen->append(line);
        }
        if (found)
            return true;
        if (m_peerEnded || deadline.hasExpired())
            return false;
        pollfd waiting{m_fd, POLLIN, 0};
        ::poll(&waiting, 1, int(std::clamp<qint64>(deadline.remainingTime(), 1, 50)));
    }
    return false;
}

QList<QByteArray> addUserLinesOfJoin(LoadConnection &client, const QByteArray &name,
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
