#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class QTcpSocket;

// One element of a client socket array (sckServer(i) or Winsock(i)). The object
// lives as long as the array; each accepted connection is attached to it and
// detached again when it ends, so the index never changes hands mid-callback.
//
// Callbacks: dataArrival when bytes are waiting, closed when the peer ends the
// connection, errorOccurred on a socket error. For one connection at most one
// of closed/errorOccurred is emitted, and never for a close we started.
class ClientSocket : public QObject
{
    Q_OBJECT
public:
    static constexpr int StateConnected = 7;
    static constexpr int StateClosed = 0;
    // Unsent output above this closes the connection: a peer that never reads
    // must not grow our memory.
    static constexpr qint64 OutputCap = 1024 * 1024;
    static constexpr qint64 InputBufferSize = 256 * 1024;
    static constexpr qsizetype ReusedOutputCapacity = 64 * 1024;

    explicit ClientSocket(int index, QObject *parent = nullptr);
    ~ClientSocket() override;

    int index() const { return m_index; }

    // Takes the pending connection named by requestId (a socket descriptor).
    bool accept(qintptr requestId, QString *errorText = nullptr);
    int state() const;
    bool isConnected() const { return state() == StateConnected; }
    // Queues the bytes; they leave on the next event-loop turn, together with
    // everything else sent to this connection until then. False when not
    // connected, or when the peer's unsent output is over OutputCap (the
    // connection is then dropped and errorOccurred follows from the event loop).
    bool send(const QByteArray &bytes);
    QByteArray takeReceived();
    bool hasReceived() const;
    // Our own close: no closed/errorOccurred callback follows.
    void close();
    // The peer's IPv4 address; empty when not connected.
    QByteArray remoteAddress() const;
    // The address of the last connection, also after it ended.
    QByteArray lastRemoteAddress() const;
    qint64 pendingOutput() const;

    // A connection without a network, for tests and fuzzing: sends are kept in
    // memory, received bytes are handed in by the caller.
    void attachSimulated(const QByteArray &remoteAddress);
    void simulateReceive(const QByteArray &bytes);
    void simulatePeerClose();
    QByteArray takeSimulatedOutput();

Q_SIGNALS:
    void dataArrival(int index);
    void closed(int index);
    void errorOccurred(int index, int number, const QString &description);

private:
    void onReadyRead();
    void onDisconnected();
    void onError();
    void flushOutput();
    void attachFreshSocket();
    void detachSocket(bool graceful);
    void reportLost(bool asError, int number, const QString &description);
    // A handler may yield and, deeper down, drop the very connection whose
    // signal it runs in: a detached QTcpSocket is deleted only once none of
    // its signals is still being emitted further up the stack.
    void beginEmitting(QTcpSocket *socket);
    void endEmitting(QTcpSocket *socket);
    void dispose(QTcpSocket *socket);

    int m_index;
    QTcpSocket *m_socket;
    bool m_open = false; // a connection is attached and not yet reported lost
    QByteArray m_remote; // cached: the peer's address outlives the connection
    quint64 m_generation = 0;
    QByteArray m_output; // lines sent in this event-loop turn, not yet handed on
    bool m_flushQueued = false;
    QHash<QTcpSocket *, int> m_emitting; // signals of each socket under way
    QSet<QTcpSocket *> m_detached;       // detached while emitting: dispose afterwards
    bool m_simulated = false;
    QByteArray m_simulatedInput;
    QByteArray m_simulatedOutput;
};
