#include "operator/metricsendpoint.h"

#include "core/httprequestreader.h"
#include "operator/servermetrics.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <sys/socket.h>

MetricsEndpoint::MetricsEndpoint(std::function<QByteArray()> render, QObject *parent)
    : QObject(parent), m_render(std::move(render)), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &MetricsEndpoint::onNewConnection);
}

MetricsEndpoint::~MetricsEndpoint() = default;

bool MetricsEndpoint::listen(const QHostAddress &address, quint16 port, bool allowRemote,
                             QString *errorText)
{
    close();
    if (!address.isLoopback() && !allowRemote) {
        *errorText = QStringLiteral("%1 is not a loopback address; allowRemote=true in [metrics] "
                                    "allows it")
                         .arg(address.toString());
        return false;
    }
    if (!m_server->listen(address, port)) {
        *errorText = m_server->errorString();
        return false;
    }
    return true;
}

void MetricsEndpoint::close()
{
    m_server->close();
}

bool MetricsEndpoint::isListening() const
{
    return m_server->isListening();
}

quint16 MetricsEndpoint::port() const
{
    return m_server->serverPort();
}

void MetricsEndpoint::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_clients >= MaxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_clients;
        connect(socket, &QObject::destroyed, this, [this] { --m_clients; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // Qt holds no more than this of what a client sends.
        socket->setReadBufferSize(HttpRequestReader::MaxHeadBytes);
        auto reader = std::make_shared<HttpRequestReader>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, reader] {
            const QByteArray bytes = socket->readAll();
            // Once answered, what follows is read and dropped until the
            // client closes: closing with unread bytes would reset the
            // connection, and the answer with it.
            if (reader->state() == HttpRequestReader::State::Incomplete)
                onRequestBytes(socket, *reader, bytes);
        });
        // A request that does not come whole in time is not waited for, nor
        // a client that does not close after its answer.
        QTimer::singleShot(RequestTimeMs, socket, [this, socket, reader] {
            if (reader->state() == HttpRequestReader::State::Incomplete) {
                reader->giveUp();
                answer(socket, "408 Request Timeout", "Request timeout\n");
            }
            QTimer::singleShot(RequestTimeMs, socket, &QTcpSocket::abort);
        });
    }
}

void MetricsEndpoint::onRequestBytes(QTcpSocket *socket, HttpRequestReader &reader,
                                     const QByteArray &bytes)
{
    switch (reader.append(bytes)) {
    case HttpRequestReader::State::Incomplete:
        return;
    case HttpRequestReader::State::Malformed:
        answer(socket, "400 Bad Request", "Bad request\n");
        return;
    case HttpRequestReader::State::Complete:
        break;
    }
    if (reader.method() != "GET")
        answer(socket, "405 Method Not Allowed", "Only GET\n", "Allow: GET\r\n");
    else if (reader.target() != "/metrics")
        answer(socket, "404 Not Found", "Not found\n");
    else
        answer(socket, "200 OK", m_render(),
               "Content-Type: " + ServerMetrics::ContentType + "\r\n");
}

// One answer per connection: once it has left, our side of the connection
// ends; the client's end closes it.
void MetricsEndpoint::answer(QTcpSocket *socket, const QByteArray &status, const QByteArray &body,
                             const QByteArray &extraHeaders)
{
    QByteArray head = "HTTP/1.1 " + status + "\r\n" + extraHeaders;
    if (!extraHeaders.contains("Content-Type"))
        head += "Content-Type: text/plain; charset=utf-8\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    socket->write(head + body);
}
