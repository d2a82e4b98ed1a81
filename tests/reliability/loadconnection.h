#pragma once

#include <QByteArray>
#include <QList>

// One load-generator connection on a non-blocking socket, outside any Qt event
// loop: the test drives many of them with poll() while the server runs in its
// own process. Lines are handed out whole, CR LF included.
class LoadConnection
{
public:
    // How a client goes away.
    enum class Ending
    {
        Close,        // an orderly close
        Reset,        // SO_LINGER 0: the peer sees a reset
        HalfClose,    // shutdown(SHUT_WR); we keep reading until the server closes
        CloseMidLine, // half a line, then an orderly close
    };

    LoadConnection() = default;
    ~LoadConnection();
    LoadConnection(const LoadConnection &) = delete;
    LoadConnection &operator=(const LoadConnection &) = delete;

    // Connects from `localAddress` (any 127.x.y.z looks like another machine).
    // A receive buffer size above 0 is set before connecting, so a client that
    // never reads fills up quickly. Waits at most timeoutMs for the handshake.
    bool connectTo(quint16 port, const QByteArray &localAddress = QByteArrayLiteral("127.0.0.1"),
                   int receiveBufferBytes = 0, int timeoutMs = 3000);
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // The server closed or reset the connection (seen by a read or a write).
    bool peerEnded() const { return m_peerEnded; }

    // Queues the bytes and writes what the socket takes now.
    void send(const QByteArray &bytes);
    void sendLine(const QByteArray &line) { send(line + "\r\n"); }
    bool hasUnsent() const { return m_outOffset < m_out.size(); }
    void flush();

    // Reads whatever is waiting and appends each complete line to `lines`.
    // Returns the number of bytes read.
    qint64 readLines(QList<QByteArray> *lines);
    qint64 bytesReceived() const { return m_bytesReceived; }

    void end(Ending how);
    // Just drops the descriptor (after the peer ended, or at the end of a test).
    void close();

    // Reads until `wanted` (a whole line, CR LF included) arrived or the time
    // ran out; every line read meanwhile is appended to `seen` when given.
    bool waitForLine(const QByteArray &wanted, int timeoutMs, QList<QByteArray> *seen = nullptr);
    // Reads (and drops) until the server ends the connection.
    bool waitForPeerEnd(int timeoutMs)
    {
        waitForLine({}, timeoutMs); // no line is empty: each ends in CR LF
        return m_peerEnded;
    }

private:
    int m_fd = -1;
    bool m_peerEnded = false;
    bool m_halfClosed = false;
    QByteArray m_out;
    qsizetype m_outOffset = 0;
    QByteArray m_carry;
    qint64 m_bytesReceived = 0;
};

// Joins as `name` and returns every ADDUSER line the join brought: the reply
// `motdLine` to a MOTD request sent after the join marks the end of them.
QList<QByteArray> addUserLinesOfJoin(LoadConnection &client, const QByteArray &name,
                                     const QByteArray &motdLine);
