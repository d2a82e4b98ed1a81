#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <limits>
#include <memory>

class QSocketNotifier;

// The lines everyone is sent when `name` leaves the chat, each with its CR LF.
QList<QByteArray> leavingLines(const QByteArray &name);

// A client of a server on loopback on a plain non-blocking socket: the tests'
// client and the benchmark's load generator. Lines are handed out whole, CR LF
// included, so checks compare every byte the server sent.
//
// Mode::EventLoop suits a server in this thread: whenever the Qt event loop
// runs, the client reads what arrives and writes what waits, as a QTcpSocket
// would, and its own waits run the loop. Mode::Polled suits a server in
// another process and many clients at once: nothing moves until the owner
// reads, flushes or waits, so a client that is not read fills up as a real
// slow reader does.
class RawClient
{
public:
    enum class Mode
    {
        EventLoop,
        Polled
    };
    // How a client goes away.
    enum class Ending
    {
        Close,        // an orderly close
        Reset,        // SO_LINGER 0: the peer sees a reset
        HalfClose,    // shutdown(SHUT_WR); reading goes on until the server closes
        CloseMidLine, // half a line, then an orderly close
    };

    explicit RawClient(Mode mode = Mode::EventLoop);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    // A client connected from `from`, its accept run; warns when it could not
    // connect.
    static std::unique_ptr<RawClient> connected(quint16 port,
                                                const QString &from = QStringLiteral("127.0.0.1"));
    // A connected client that has joined as `name` (see join()); warns when the
    // join did not end.
    static std::unique_ptr<RawClient> joined(quint16 port, const QByteArray &name,
                                             const QString &from = QStringLiteral("127.0.0.1"));

    // Connects from `from` (any 127.x.y.z looks like another machine) within
    // 3 s. A receive buffer above 0 bytes is set first, so a client that never
    // reads fills up quickly. In EventLoop mode the loop runs a little longer,
    // so the server's accept has run on return.
    bool connectTo(quint16 port, const QString &from = QStringLiteral("127.0.0.1"),
                   int receiveBufferBytes = 0);
    // The same without waiting: finishConnect() completes it once the socket
    // is writable. What is sent meanwhile waits for it.
    bool startConnect(quint16 port, const QString &from = QStringLiteral("127.0.0.1"),
                      int receiveBufferBytes = 0);
    bool finishConnect();
    bool isConnecting() const { return m_connecting; }
    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Open, and the server has not closed or reset the connection.
    bool isConnected();
    // The server closed or reset the connection (seen by a read or a write).
    bool peerEnded() const { return m_peerEnded; }

    // Queues the bytes and writes what the socket takes now.
    void send(const QByteArray &bytes);
    void sendLine(const QByteArray &line) { send(line + "\r\n"); }
    // Writes what the socket takes now; false once writing failed.
    bool flush();
    bool hasUnsent() const { return m_outOffset < m_out.size(); }

    // Reads what is waiting (a bounded amount, to be fair to other clients)
    // and hands each complete line to `onLine`. Returns the bytes read.
    qint64 readAvailable(const std::function<void(QByteArrayView)> &onLine);
    qint64 bytesReceived() const { return m_bytesReceived; }

    // Joins as `name` with a "MOTD" request behind the "Name" line, and reads
    // until its reply: the join has then sent this client everything. False
    // when the reply did not come.
    bool join(const QByteArray &name);
    // Waits until `count` complete lines have arrived and returns them. Fewer
    // when the time runs out or the server ends the connection.
    QList<QByteArray> readLines(int count, int timeoutMs = 3000);
    // Reads until `wanted` (a whole line) arrived; every line read before it,
    // and it, is appended to `seen` when given.
    bool waitForLine(const QByteArray &wanted, int timeoutMs, QList<QByteArray> *seen = nullptr);
    // Waits until at least `size` bytes have arrived and returns all that did.
    QByteArray readBytes(qsizetype size, int timeoutMs = 3000);
    // Everything received and not yet taken, after letting events run for `ms`.
    QByteArray drain(int ms = 50) { return readBytes(std::numeric_limits<qsizetype>::max(), ms); }
    bool waitForDisconnect(int timeoutMs = 3000);

    void end(Ending how);
    // Writes what waits, then closes.
    void close() { end(Ending::Close); }
    // Closes at once.
    void abort();

private:
    void receive();
    bool takeLine(QByteArray *line);
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    Mode m_mode;
    int m_fd = -1;
    bool m_connecting = false;
    bool m_peerEnded = false;
    bool m_halfClosed = false;
    QByteArray m_out;
    qsizetype m_outOffset = 0;
    QByteArray m_in; // received, not yet taken
    qint64 m_bytesReceived = 0;
    std::unique_ptr<QSocketNotifier> m_readable;
    std::unique_ptr<QSocketNotifier> m_writable;
};

// Joins as `name` and returns every ADDUSER line the join brought: the reply
// `motdLine` to a MOTD request sent after the join marks the end of them.
QList<QByteArray> addUserLinesOfJoin(RawClient &client, const QByteArray &name,
                                     const QByteArray &motdLine);
