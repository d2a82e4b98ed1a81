#include "platform/listener.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>

#include <unistd.h>

namespace {

class RequestServer : public QTcpServer
{
public:
    explicit RequestServer(Listener *owner) : QTcpServer(owner), m_owner(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        Q_EMIT m_owner->connectionRequest(descriptor);
    }

private:
    Listener *m_owner;
};

} // namespace

Listener::Listener(QObject *parent) : QObject(parent), m_server(new RequestServer(this)) {}

Listener::~Listener() = default;

bool Listener::listen(QString *errorText)
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(QHostAddress::AnyIPv4, m_port)) {
        if (errorText)
            *errorText = m_server->errorString();
        return false;
    }
    // Accept as fast as the kernel offers: the 50-slot table is our only limit.
    m_server->setMaxPendingConnections(64);
    return true;
}

quint16 Listener::boundPort() const
{
    return m_server->serverPort();
}

qintptr Listener::descriptor() const
{
    return m_server->isListening() ? m_server->socketDescriptor() : -1;
}

bool Listener::adopt(qintptr descriptor, QString *errorText)
{
    if (!m_server->setSocketDescriptor(descriptor)) {
        if (errorText)
            *errorText = m_server->errorString();
        return false;
    }
    m_server->setMaxPendingConnections(64);
    return true;
}

void Listener::reject(qintptr requestId)
{
    ::close(int(requestId));
}

QByteArray Listener::localAddress()
{
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString().toLatin1();
    }
    return QByteArrayLiteral("127.0.0.1");
}
