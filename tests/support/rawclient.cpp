#include "rawclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTest>

#include <utility>

QList<QByteArray> leavingLines(const QByteArray &name)
{
    return {"Announce\t" + name + " got bored with life and left Tarnwick!\r\n",
            "REMOVEUSER\t" + name + "\r\n", "REMOVEUSER\t" + name + " [IG]\r\n",
            "REMOVEUSER\t" + name + " [AW]\r\n"};
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

bool RawClient::connectTo(quint16 port, const QString &localAddress)
{
    m_socket.bind(QHostAddress(localAddress), 0);
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    QDeadlineTimer deadline(3000);
    while (m_socket.state() != QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        if (m_socket.state() == QAbstractSocket::UnconnectedState)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    // Let the server run its accept before the test goes on.
    QTest::qWait(20);
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

void RawClient::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

QList<QByteArray> RawClient::readLines(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QList<QByteArray> lines;
    while (true) {
        m_buffer += m_socket.readAll();
        while (lines.size() < count) {
            const qsizetype end = m_buffer.indexOf("\r\n");
            if (end < 0)
                break;
            lines.append(m_buffer.left(end + 2));
            m_buffer.remove(0, end + 2);
        }
        if (lines.size() >= count || deadline.hasExpired())
            return lines;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(1);
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

QByteArray RawClient::readBytes(qsizetype size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_buffer.size() < size && !deadline.hasExpired()) {
        m_buffer += m_socket.readAll();
        if (m_buffer.size() < size)
            QTest::qWait(5);
    }
    return std::exchange(m_buffer, QByteArray());
}

QByteArray RawClient::readFor(int ms)
{
    QTest::qWait(ms);
    m_buffer += m_socket.readAll();
    QByteArray all = m_buffer;
    m_buffer.clear();
    return all;
}

bool RawClient::waitForDisconnect(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        m_buffer += m_socket.readAll();
        QTest::qWait(5);
    }
    m_buffer += m_socket.readAll();
    return m_socket.state() == QAbstractSocket::UnconnectedState;
}
