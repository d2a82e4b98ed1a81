#include "notifysocket.h"

#include <QFile>
#include <QList>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

NotifySocket::NotifySocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    ::unlink(name.constData());
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd >= 0)
        qputenv("NOTIFY_SOCKET", name);
}

NotifySocket::~NotifySocket()
{
    qunsetenv("NOTIFY_SOCKET");
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray NotifySocket::receive()
{
    char buffer[512];
    const ssize_t length = m_fd >= 0 ? ::recv(m_fd, buffer, sizeof buffer, 0) : -1;
    return length > 0 ? QByteArray(buffer, length) : QByteArray();
}

QList<QByteArray> NotifySocket::firstLines()
{
    QList<QByteArray> lines;
    for (QByteArray notice = receive(); !notice.isEmpty(); notice = receive())
        lines.append(notice.split('\n').constFirst());
    return lines;
}
