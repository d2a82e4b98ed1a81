#pragma once

#include <QByteArray>
#include <QEnableSharedFromThis>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <optional>

// One connection's byte stream as the services see it: accepted, read, written
// and closed. ClientSocket is the one over TCP; tests put a simulated one in
// its place, so both share everything here (the output cap above all).
//
// Callbacks: dataArrival when bytes are waiting; closed when the peer ends the
// connection; failed on an error. For one connection at most one of
// closed/failed is emitted, never after our own close().
//
// Lifetime: a transport is held through the pointer own() makes. Each of its
// signals holds it too while the signal runs, so a handler that drops its own
// connection still returns into a living object; once the last holder lets go
// the transport is deleted later by Qt's deferred deletion.
class Transport : public QObject, public QEnableSharedFromThis<Transport>
{
    Q_OBJECT
public:
    // Unsent output above this drops the connection: a peer that never reads
    // must not grow our memory.
    static constexpr qint64 OutputCap = 1024 * 1024;

    template <typename T> static QSharedPointer<T> own(T *transport)
    {
        return QSharedPointer<T>(transport, &Transport::disposeOf);
    }

    bool isConnected() const { return m_state == State::Open; }
    // Queues the bytes. False when not connected, or when the peer's unsent
    // output would pass OutputCap: the connection is then dropped and failed
    // follows from the event loop, once the current handler has returned.
    bool send(const QByteArray &bytes);
    // Output queued and not yet taken by the system.
    qint64 unsentBytes() const { return pendingOutput(); }
    virtual QByteArray takeReceived() = 0;
    virtual bool hasReceived() const = 0;
    // Our own close: no closed/failed follows. What was sent still leaves.
    void close();
    // What an upgrade carries to the next program: the socket and the bytes
    // its buffers hold. Nothing for a transport without a socket of its own.
    struct HandOver
    {
        qintptr descriptor = -1;
        QByteArray unreadInput;
        QByteArray unsentOutput;
    };
    virtual std::optional<HandOver> handOver() const { return std::nullopt; }
    // The peer's IPv4 address, dotted decimal; it outlives the connection.
    const QByteArray &remoteAddress() const { return m_remoteAddress; }

    // Queued output leaves once per event-loop turn, every transport's at once,
    // in the order each was first sent to, from one posted event of normal
    // priority: it runs before a window repaints.
    // Chunks that arrive together are all handled before it, so their lines
    // share one system call per connection.
    static void flushQueuedOutput();

Q_SIGNALS:
    void dataArrival();
    void closed();
    void failed(int number, const QString &description);

protected:
    explicit Transport(const QByteArray &remoteAddress) : m_remoteAddress(remoteAddress) {}
    ~Transport() override;

    enum class Ending
    {
        LetOutputLeave,
        Abort
    };

    // The emissions, each holding the transport until it returns.
    void reportDataArrival();
    // The peer ended the connection. Bytes that came with the end are handed
    // over first.
    void reportPeerClosed();
    void reportFailure(int errorNumber, const QString &description);

    virtual qint64 pendingOutput() const = 0;
    virtual void write(const QByteArray &bytes) = 0;
    virtual void endConnection(Ending ending) = 0;
    // Called once nobody holds the transport any more.
    virtual void dispose() { deleteLater(); }

    // For a transport that holds written bytes back: flushOutput is called
    // once with this turn's flush (not at all if the transport is deleted first).
    void queueFlush();
    virtual void flushOutput() {}

private:
    enum class State
    {
        Open,
        Failing, // dropped for its output; the report is on its way
        Ended    // reported, or closed by us: nothing more is told
    };

    static void disposeOf(Transport *transport);
    enum class End
    {
        PeerClosed,
        Failed
    };
    void reportEnd(End end, int errorNumber, const QString &description);

    QByteArray m_remoteAddress;
    State m_state = State::Open;
    bool m_flushListed = false;
};
