#pragma once

#include <QHostAddress>
#include <QObject>

#include <functional>

class HttpRequestReader;
class QTcpServer;
class QTcpSocket;

// GET /metrics over HTTP/1.1 on the address the settings name, on a listener
// of its own: its connections never take a chat slot. One request per
// connection, read by HttpRequestReader within MaxClients connections, size
// and RequestTimeMs; a request that is malformed or too big gets 400, one
// too slow 408, and the connection is closed.
class MetricsEndpoint : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxClients = 8;
    static constexpr int RequestTimeMs = 5000;

    // `render` gives the body of each answer.
    MetricsEndpoint(std::function<QByteArray()> render, QObject *parent = nullptr);
    ~MetricsEndpoint() override;

    // An address that is not loopback is refused unless `allowRemote`;
    // errorText then says why.
    bool listen(const QHostAddress &address, quint16 port, bool allowRemote, QString *errorText);
    void close();
    bool isListening() const;
    quint16 port() const;

private:
    void onNewConnection();
    void onRequestBytes(QTcpSocket *socket, HttpRequestReader &reader, const QByteArray &bytes);
    void answer(QTcpSocket *socket, const QByteArray &status, const QByteArray &body,
                const QByteArray &extraHeaders = {});

    std::function<QByteArray()> m_render;
    QTcpServer *m_server;
    int m_clients = 0;
};
