#pragma once

#include "platform/transport.h"

#include <QByteArray>
#include <QSharedPointer>

class ConnectionPool;

// The server's end of a connection without a network, for tests and fuzzing.
// The test plays the peer: receive() hands bytes over as one chunk (handled
// before it returns), takeSent() takes what the server sent, peerClose() ends
// the connection from the peer's side. Output the test has not taken counts
// against the output cap, as unsent output does on a socket.
class SimulatedTransport : public Transport
{
    Q_OBJECT
public:
    // A connection from `address` that `pool` accepts the way it accepts a
    // connection request: index() is its entry, -1 when none was free.
    static QSharedPointer<SimulatedTransport> connectTo(ConnectionPool &pool,
                                                        const QByteArray &address);

    int index() const { return m_index; }
    void receive(const QByteArray &bytes);
    void peerClose();
    QByteArray takeSent();

    QByteArray takeReceived() override;
    bool hasReceived() const override { return !m_input.isEmpty(); }

protected:
    qint64 pendingOutput() const override { return m_sent.size(); }
    void write(const QByteArray &bytes) override { m_sent += bytes; }
    void endConnection(Ending ending) override;

private:
    explicit SimulatedTransport(const QByteArray &address) : Transport(address) {}

    int m_index = -1;
    QByteArray m_input;
    QByteArray m_sent;
};
