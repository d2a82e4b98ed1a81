#pragma once

#include "platform/transport.h"

#include <QByteArray>
#include <QSharedPointer>
#include <QString>

class QTcpSocket;

// One accepted TCP connection (an element of sckServer or Winsock while it is
// connected).
class ClientSocket : public Transport
{
    Q_OBJECT
public:
    // A client that sends faster than we handle is held back by TCP instead of
    // growing our memory.
    static constexpr qint64 InputBufferSize = 256 * 1024;
    static constexpr qsizetype ReusedOutputCapacity = 64 * 1024;
    // How long the last lines of a connection we closed may take to leave.
    static constexpr int LingerMs = 5000;
    // TCP keepalive: first probe after this much silence, then one every
    // interval; the connection fails after that many unanswered.
    static constexpr int KeepAliveIdleSeconds = 120;
    static constexpr int KeepAliveIntervalSeconds = 15;
    static constexpr int KeepAliveProbes = 4;

    // Takes the pending connection named by requestId (a socket descriptor);
    // null, with the reason, when it cannot.
    static QSharedPointer<ClientSocket> accept(qintptr requestId, QString *errorText = nullptr);
    // A connection the program before an upgrade had, with what its buffers
    // held: the input is read before anything newer, the output leaves first.
    static QSharedPointer<ClientSocket> adopt(const HandOver &carried, const QByteArray &address,
                                              QString *errorText = nullptr);
    ~ClientSocket() override;

    QByteArray takeReceived() override;
    bool hasReceived() const override;
    std::optional<HandOver> handOver() const override;

protected:
    qint64 pendingOutput() const override;
    void write(const QByteArray &bytes) override;
    void endConnection(Ending ending) override;
    void dispose() override;
    void flushOutput() override;

private:
    ClientSocket(QTcpSocket *socket, const QByteArray &remoteAddress);
    void onReadyRead();
    void onDisconnected();
    void onError();

    QTcpSocket *m_socket;
    QByteArray m_output; // lines sent in this event-loop turn, not yet handed on
    // Whether the socket's own buffer may hold bytes: only a flush the system
    // could not take in full puts them there. Asked for every line sent, so
    // the socket is not asked while it is known to be empty.
    mutable bool m_socketMayHoldOutput = false;
    // What went into the socket's own buffer, whose unsent tail it does not
    // show: an upgrade carries that tail.
    mutable QByteArray m_socketOutput;
    QByteArray m_carriedInput; // read before an upgrade, not yet taken
};
