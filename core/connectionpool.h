#pragma once

#include "connectiontable.h"
#include "lineframer.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <functional>

class ClientSocket;
class Listener;

// One service's fixed 50 sockets over the connection table it shares: accepting
// into the lowest free entry (refusing at once when none is free), each entry's
// line framer, handing arrived data on chunk by chunk, and the peer's end.
class ConnectionPool : public QObject
{
    Q_OBJECT
public:
    struct Handlers
    {
        // One chunk for the connection on `index`. Not re-entered for the same
        // connection: data that arrives during a yield is taken by the run
        // already under way, which stops once the entry holds another connection.
        std::function<void(int index, quint64 connection, const QByteArray &chunk)> chunk;
        // The peer closed the connection, or it failed.
        std::function<void(int index)> ended;
        // A request could not be accepted; the text is for the operator.
        std::function<void(const QString &text)> acceptFailed;
    };

    ConnectionPool(ConnectionTable &table, Handlers handlers, QObject *parent = nullptr);
    ~ConnectionPool() override;

    bool listen(quint16 port, QString *errorText);
    quint16 port() const;

    ClientSocket &socket(int index) const { return *m_sockets[index]; }
    LineFramer &framer(int index) { return m_framers[index]; }
    // A valid index whose socket is connected.
    bool isConnected(int index) const;

    // Takes an entry for a connection without a network (tests, fuzzing) the
    // way a connection request does; -1 when all entries are taken.
    int acceptSimulated(const QByteArray &remoteAddress);
    // Drops the entry's pending bytes and gives it back to the table.
    void release(int index);

private:
    int takeFree();
    void onConnectionRequest(qintptr requestId);
    void onDataArrival(int index);

    ConnectionTable &m_table;
    Handlers m_handlers;
    Listener *m_listener;
    std::array<ClientSocket *, ConnectionTable::Size> m_sockets{};
    std::array<LineFramer, ConnectionTable::Size> m_framers;
    // The connection whose data is being processed on each index, 0 for none.
    std::array<quint64, ConnectionTable::Size> m_receiving{};
};
