#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpServer;

// A listening socket (sckListening, Winsock1). Each incoming connection is
// offered as a connection request whose id is its socket descriptor; the owner
// either accepts it on a ClientSocket or rejects it.
class Listener : public QObject
{
    Q_OBJECT
public:
    explicit Listener(QObject *parent = nullptr);
    ~Listener() override;

    void setLocalPort(quint16 port) { m_port = port; }
    // Binds every IPv4 address on the local port. On failure errorText says why.
    bool listen(QString *errorText = nullptr);
    // The port actually bound (differs from the local port when that was 0).
    quint16 boundPort() const;
    // The listening socket, for an upgrade to carry; -1 when not listening.
    qintptr descriptor() const;
    // Listens on a socket carried across an upgrade.
    bool adopt(qintptr descriptor, QString *errorText = nullptr);
    // Closes a request that nobody accepts.
    static void reject(qintptr requestId);
    // The machine's IPv4 address, dotted decimal; loopback when it has no other.
    static QByteArray localAddress();

Q_SIGNALS:
    void connectionRequest(qintptr requestId);

private:
    QTcpServer *m_server;
    quint16 m_port = 0;
};
