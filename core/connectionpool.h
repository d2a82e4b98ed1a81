#pragma once

#include "connectiontable.h"
#include "lineframer.h"
#include "messageline.h"

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <array>
#include <functional>

class Listener;
class Transport;

// What the other connections are told when one is dropped.
struct Farewell
{
    QByteArray lines; // sent to every connected index, the leaving one too while it is

    static Farewell toNobody() { return {}; }
    static Farewell toEveryone(const QByteArray &lines) { return {lines}; }
};

// One service's connections over the connection table it shares with the
// other service: its listener, and per entry the connection, its line framer
// and its peer's address. It accepts into the lowest free entry (refusing at
// once when none is free), cuts what arrives into lines for the service, and
// is the one place where a connection ends.
//
// A connection's chunks are handled in order: one that arrives while a handler
// of the same connection gives way to the event loop is taken when that
// handler is done (other connections' chunks run meanwhile). While a handler
// waits for the operator instead (a modal box, for as long as it takes), the
// connection's further chunks are handled at once, each to its end.
class ConnectionPool : public QObject
{
    Q_OBJECT
public:
    struct Handlers
    {
        // Each chunk as it arrived, before framing, with the start of a line
        // the framer still holds from earlier chunks. Optional.
        std::function<void(const Sender &, const QByteArray &chunk, const QByteArray &pending)>
            chunkArrived;
        // Each complete line, without its CR LF.
        std::function<HandlerOutcome(const Sender &, const QByteArray &line)> lineArrived;
        // The peer closed the connection, or it failed; the service drops it.
        std::function<void(int index)> connectionLost;
        // A request could not be accepted; the text is for the operator.
        std::function<void(const QString &text)> acceptFailed;
    };

    ConnectionPool(ConnectionTable &table, Handlers handlers, QObject *parent = nullptr);
    ~ConnectionPool() override;

    bool listen(quint16 port, QString *errorText);
    quint16 port() const;

    // Takes the lowest free entry for `transport` the way a connection request
    // does; -1 (and the transport closed) when all entries are taken.
    int accept(const QSharedPointer<Transport> &transport);

    // A valid index that holds a connected connection.
    bool isConnected(int index) const;
    // Queues one whole line; nothing when the index is not connected.
    bool send(int index, const QByteArray &line);
    // The peer's address while connected, else empty.
    QByteArray remoteAddress(int index) const;
    // The address of the connection that holds the entry or held it last.
    const QByteArray &lastAddress(int index) const { return m_entries[index].address; }
    bool isStillHere(const Sender &sender) const;

    // Runs `wait` (a modal box) with the sender's further chunks let through.
    void whileWaitingForOperator(const Sender &sender, const std::function<void()> &wait);

    // Ends the connection on `index`: the farewell goes out, the entry's row is
    // emptied, the connection closed (its last lines still leave), its unframed
    // bytes dropped and the entry given back to the table.
    void drop(int index, const Farewell &farewell);

private:
    struct Entry
    {
        QSharedPointer<Transport> transport;
        LineFramer framer;
        QByteArray address;
        // The runs under way for the connection whose number is given, and
        // the depth of the run that waits for the operator (0: none does).
        quint64 receivingConnection = 0;
        int receiving = 0;
        int waitingAt = 0;
    };

    int takeFree();
    void attach(int index, const QSharedPointer<Transport> &transport);
    void detach(int index);
    void onConnectionRequest(qintptr requestId);
    void onDataArrival(int index);
    void receive(const Sender &sender);
    // The entry's run counters, reset when another connection holds it.
    Entry &receivingEntry(const Sender &sender);
    void onConnectionLost(int index);

    ConnectionTable &m_table;
    Handlers m_handlers;
    Listener *m_listener;
    std::array<Entry, ConnectionTable::Size> m_entries;
};
