#pragma once

#include <QByteArray>
#include <QList>
#include <QTcpSocket>

#include <memory>

// The lines everyone is sent when `name` leaves the chat, each with its CR LF.
QList<QByteArray> leavingLines(const QByteArray &name);

// A test client that speaks raw bytes to a server on loopback.
class RawClient
{
public:
    // A client connected from `from`, its accept run; warns when it could not
    // connect.
    static std::unique_ptr<RawClient> connected(quint16 port,
                                                const QString &from = QStringLiteral("127.0.0.1"));
    // A connected client that has joined as `name` (see join()); warns when the
    // join did not end.
    static std::unique_ptr<RawClient> joined(quint16 port, const QByteArray &name,
                                             const QString &from = QStringLiteral("127.0.0.1"));

    // Connects from `localAddress` (127.0.0.1, or another loopback address to
    // look like a second machine). Fails the test when it cannot connect.
    bool connectTo(quint16 port, const QString &localAddress = QStringLiteral("127.0.0.1"));
    void send(const QByteArray &bytes);
    void sendLine(const QByteArray &line) { send(line + "\r\n"); }
    // Joins as `name` with a "MOTD" request behind the "Name" line, and reads
    // until its reply: the join has then sent this client everything. False
    // when the reply did not come.
    bool join(const QByteArray &name);

    // Waits until `count` complete lines (CR LF ended) have arrived and returns
    // them with their CR LF. Fewer when the time runs out.
    QList<QByteArray> readLines(int count, int timeoutMs = 3000);
    // Whatever arrives within `ms`, as raw bytes.
    QByteArray readFor(int ms);
    // Waits until at least `size` bytes have arrived and returns all that
    // did (fewer when the time runs out).
    QByteArray readBytes(qsizetype size, int timeoutMs = 3000);
    // Everything received and not yet taken, after letting events run briefly.
    QByteArray drain(int ms = 50) { return readFor(ms); }
    bool waitForDisconnect(int timeoutMs = 3000);
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void close() { m_socket.close(); }
    void abort() { m_socket.abort(); }
    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};
