#include "benchclient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

BenchClient::~BenchClient()
{
    close();
}

bool BenchClient::startConnect(unsigned short port)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        m_connected = true;
        return true;
    }
    if (errno == EINPROGRESS)
        return true;
    close();
    return false;
}

bool BenchClient::finishConnect()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return false;
    m_connected = true;
    return true;
}

void BenchClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_connected = false;
    m_out.clear();
    m_outOffset = 0;
    m_carry.clear();
}

void BenchClient::queue(std::string_view bytes)
{
    if (m_outOffset == m_out.size()) {
        m_out.clear();
        m_outOffset = 0;
    }
    m_out.append(bytes);
}

bool BenchClient::flush()
{
    while (m_connected && m_outOffset < m_out.size()) {
        const ssize_t n =
            ::send(m_fd, m_out.data() + m_outOffset, m_out.size() - m_outOffset, MSG_NOSIGNAL);
        if (n > 0) {
            m_outOffset += std::size_t(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
    if (m_outOffset == m_out.size()) {
        m_out.clear();
        m_outOffset = 0;
    }
    return true;
}

long BenchClient::readSome(char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n >= 0)
            return long(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -2;
        return -1;
    }
}
