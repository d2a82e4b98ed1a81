#include "operator/controlserver.h"

#include "operator/controlprotocol.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

ControlResult ControlResult::done(const QString &text, const QJsonObject &data)
{
    return {true, text, data, QString()};
}

ControlResult ControlResult::failure(const QString &error)
{
    return {false, QString(), QJsonObject(), error};
}

QByteArray ControlResult::reply() const
{
    QJsonObject object{{"ok", ok}};
    if (ok) {
        object.insert("text", text);
        object.insert("data", data);
    } else {
        object.insert("error", error);
    }
    return ControlProtocol::encode(object);
}

ControlCall::ControlCall(const QString &command, const QStringList &arguments, const QString &input,
                         const QJsonObject &options, QObject *parent)
    : QObject(parent), m_command(command), m_arguments(arguments), m_input(input),
      m_options(options)
{
}

void ControlCall::stream(const QString &text, const QString &severity)
{
    if (!m_finished)
        Q_EMIT output(ControlProtocol::encode(ControlProtocol::streamedLine(text, severity)));
}

void ControlCall::finish(const ControlResult &result)
{
    if (m_finished)
        return;
    m_finished = true;
    Q_EMIT output(result.reply());
    Q_EMIT finished();
}

// One client: its bytes cut into request lines, served one at a time.
class ControlConnection : public QObject
{
public:
    ControlConnection(ControlServer &server, QLocalSocket *socket);

    void endCall();
    // Ends a running call as done (a follower's stream ends) and closes.
    void closeForShutdown();
    void drop();
    qintptr descriptor() const { return m_gone ? -1 : m_socket->socketDescriptor(); }

private:
    void onReadyRead();
    void serveNext();
    void serveLine(const QByteArray &line);
    void write(const QByteArray &line);
    void refuseAndClose(const QString &error);
    void onDisconnected();

    ControlServer &m_server;
    QLocalSocket *m_socket;
    QByteArray m_buffer;
    QPointer<ControlCall> m_call;
    int m_dispatchDepth = 0;
    bool m_gone = false;
};

ControlConnection::ControlConnection(ControlServer &server, QLocalSocket *socket)
    : QObject(&server), m_server(server), m_socket(socket)
{
    socket->setParent(this);
    connect(socket, &QLocalSocket::readyRead, this, &ControlConnection::onReadyRead);
    connect(socket, &QLocalSocket::disconnected, this, &ControlConnection::onDisconnected);
}

void ControlConnection::onReadyRead()
{
    m_buffer.append(m_socket->readAll());
    serveNext();
}

void ControlConnection::serveNext()
{
    while (!m_gone && !m_call) {
        const qsizetype end = m_buffer.indexOf('\n');
        if (end > ControlProtocol::MaxLineLength ||
            (end < 0 && m_buffer.size() > ControlProtocol::MaxLineLength)) {
            refuseAndClose(QStringLiteral("The request is longer than %1 bytes.")
                               .arg(ControlProtocol::MaxLineLength));
            return;
        }
        if (end < 0)
            return;
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        serveLine(line);
    }
    // While a command runs (a follower), input waits; it may not grow unbounded.
    if (!m_gone && m_buffer.size() > ControlProtocol::MaxLineLength)
        refuseAndClose(QStringLiteral("Too much input while a command runs."));
}

void ControlConnection::serveLine(const QByteArray &line)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    const QJsonObject request = document.object();
    const QJsonValue arguments = request.value("arguments");
    bool wellFormed =
        document.isObject() && request.value("command").isString() &&
        (arguments.isUndefined() || arguments.isArray()) &&
        (request.value("input").isUndefined() || request.value("input").isString()) &&
        (request.value("options").isUndefined() || request.value("options").isObject());
    QStringList argumentList;
    for (const QJsonValue &argument : arguments.toArray()) {
        wellFormed = wellFormed && argument.isString();
        argumentList.append(argument.toString());
    }
    if (!wellFormed) {
        write(ControlProtocol::encode(
            {{"ok", false}, {"error", QStringLiteral("Not a control request.")}}));
        return;
    }
    m_call = new ControlCall(request.value("command").toString(), argumentList,
                             request.value("input").toString(), request.value("options").toObject(),
                             this);
    connect(m_call, &ControlCall::output, this, &ControlConnection::write);
    connect(m_call, &ControlCall::finished, this, &ControlConnection::endCall);
    // A handler may give way to the event loop, and the client may leave
    // meanwhile: this object must outlive the call into the handler.
    ++m_dispatchDepth;
    m_server.dispatch(*m_call);
    --m_dispatchDepth;
    if (m_gone && m_dispatchDepth == 0)
        deleteLater();
}

void ControlConnection::endCall()
{
    if (m_call) {
        m_call->deleteLater();
        m_call = nullptr;
    }
    if (m_dispatchDepth == 0)
        QMetaObject::invokeMethod(this, &ControlConnection::serveNext, Qt::QueuedConnection);
}

void ControlConnection::write(const QByteArray &line)
{
    if (m_gone)
        return;
    if (m_socket->bytesToWrite() > ControlServer::MaxPendingOutput) {
        drop();
        return;
    }
    m_socket->write(line);
}

void ControlConnection::refuseAndClose(const QString &error)
{
    write(ControlProtocol::encode({{"ok", false}, {"error", error}}));
    m_buffer.clear();
    drop();
}

void ControlConnection::closeForShutdown()
{
    if (m_call)
        m_call->finish(ControlResult::done());
    drop();
}

void ControlConnection::drop()
{
    if (m_gone)
        return;
    m_socket->flush();
    m_socket->disconnectFromServer();
    onDisconnected();
}

void ControlConnection::onDisconnected()
{
    if (m_gone)
        return;
    m_gone = true;
    m_server.m_connections.removeOne(this);
    if (m_dispatchDepth == 0)
        deleteLater();
}

qintptr ControlCall::clientDescriptor() const
{
    return static_cast<const ControlConnection *>(parent())->descriptor();
}

ControlServer::ControlServer(QObject *parent) : QObject(parent), m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
}

ControlServer::~ControlServer()
{
    close();
}

bool ControlServer::listen(const QString &path, QString *errorText)
{
    QLocalServer::removeServer(path);
    const mode_t previousMask = ::umask(0077);
    const bool listening = m_server->listen(path);
    ::umask(previousMask);
    if (!listening) {
        if (errorText)
            *errorText = m_server->errorString();
        return false;
    }
    // Read and write is all a client needs; nobody else gets anything.
    struct stat status = {};
    const QByteArray encoded = QFile::encodeName(path);
    // Made by us a moment ago: a socket, never a link put in its place.
    if (::lstat(encoded.constData(), &status) != 0 || !S_ISSOCK(status.st_mode) ||
        ::chmod(encoded.constData(), 0600) != 0 || ::lstat(encoded.constData(), &status) != 0 ||
        (status.st_mode & 0777) != 0600) {
        if (errorText)
            *errorText = QStringLiteral("other users could use the socket");
        close();
        return false;
    }
    return true;
}

void ControlServer::close()
{
    for (ControlConnection *connection : QList<ControlConnection *>(m_connections)) {
        connection->closeForShutdown();
    }
    if (m_server->isListening())
        m_server->close(); // also removes the socket file it made
    if (!m_adoptedPath.isEmpty())
        QLocalServer::removeServer(std::exchange(m_adoptedPath, QString()));
}

qintptr ControlServer::descriptor() const
{
    return m_server->isListening() ? m_server->socketDescriptor() : -1;
}

bool ControlServer::adopt(qintptr descriptor, const QString &path, QString *errorText)
{
    if (!m_server->listen(descriptor)) {
        if (errorText)
            *errorText = m_server->errorString();
        return false;
    }
    m_adoptedPath = path;
    return true;
}

void ControlServer::answerCarried(qintptr descriptor, const ControlResult &result)
{
    // One short line to a client that waits for it: the socket takes it at once.
    const QByteArray line = result.reply();
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n =
            ::write(int(descriptor), line.constData() + written, size_t(line.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    ::close(int(descriptor));
}

QString ControlServer::path() const
{
    return m_server->fullServerName();
}

bool ControlServer::isListening() const
{
    return m_server->isListening();
}

void ControlServer::setHandler(const QString &command, ControlHandler handler)
{
    m_handlers.insert(command, std::move(handler));
}

void ControlServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection())
        m_connections.append(new ControlConnection(*this, socket));
}

void ControlServer::dispatch(ControlCall &call)
{
    const auto handler = m_handlers.constFind(call.command());
    if (handler == m_handlers.cend()) {
        call.finish(ControlResult::failure(
            QStringLiteral("There is no command \"%1\".").arg(call.command())));
        return;
    }
    const ControlProtocol::CommandForm *form = ControlProtocol::findCommand(call.command());
    if (form && (call.arguments().size() != form->arguments ||
                 (!form->choices.isEmpty() && !form->choices.contains(call.argument(0))))) {
        call.finish(ControlResult::failure(
            QStringLiteral("Usage: %1 %2").arg(form->name, form->argumentsHelp).trimmed()));
        return;
    }
    Q_EMIT commandDispatched();
    (*handler)(call);
}
