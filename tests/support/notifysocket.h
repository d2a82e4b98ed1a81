#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A stand-in for the service manager's notification socket (a Type=notify
// unit's): bound at `path` and named in NOTIFY_SOCKET while it lives.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // The next notice, empty when none is waiting.
    QByteArray receive();
    // The first line of every notice waiting.
    QList<QByteArray> firstLines();

private:
    int m_fd = -1;
};
