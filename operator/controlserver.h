#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;
class ControlConnection;

// What a control command answers when it ends.
struct ControlResult
{
    bool ok = true;
    QString text;     // for a person, printed as it is
    QJsonObject data; // for a script (--json)
    QString error;    // when not ok: the reason

    static ControlResult done(const QString &text = QString(), const QJsonObject &data = {});
    static ControlResult failure(const QString &error);
    // The line that ends a command with this result.
    QByteArray reply() const;
};

// One request being served. A handler answers with finish(), at once or later;
// if the client leaves first the call is deleted, so a handler that answers
// later keeps a QPointer to it (or uses it as the context of a connection).
class ControlCall : public QObject
{
    Q_OBJECT
public:
    ControlCall(const QString &command, const QStringList &arguments, const QString &input,
                const QJsonObject &options, QObject *parent);

    const QString &command() const { return m_command; }
    const QStringList &arguments() const { return m_arguments; }
    QString argument(int index) const { return m_arguments.value(index); }
    const QString &input() const { return m_input; }
    QJsonValue option(const QString &name) const { return m_options.value(name); }

    // An intermediate line (log --follow); nothing once the call has ended.
    void stream(const QString &text, const QString &severity);
    // Ends the call; later calls are ignored.
    void finish(const ControlResult &result);
    bool isFinished() const { return m_finished; }
    // The client's socket: an upgrade carries it so that the new program
    // answers. -1 when the client has left.
    qintptr clientDescriptor() const;

Q_SIGNALS:
    void output(const QByteArray &line);
    void finished();

private:
    QString m_command;
    QStringList m_arguments;
    QString m_input;
    QJsonObject m_options;
    bool m_finished = false;
};

using ControlHandler = std::function<void(ControlCall &call)>;

// The local control socket: a QLocalServer only its owner may use, and the
// table of command handlers that whoever wires the server registers.
class ControlServer : public QObject
{
    Q_OBJECT
public:
    // A client that does not read is dropped once this much waits for it.
    static constexpr qint64 MaxPendingOutput = 1024 * 1024;

    explicit ControlServer(QObject *parent = nullptr);
    ~ControlServer() override;

    // Listens on `path`, replacing whatever socket file is there (the caller
    // holds the folder's lock, so it can only be a dead server's), and checks
    // that only the owner can use it.
    bool listen(const QString &path, QString *errorText = nullptr);
    // The listening socket, carried across an upgrade; -1 when not listening.
    qintptr descriptor() const;
    // Listens on the socket an upgrade carried, bound at `path`.
    bool adopt(qintptr descriptor, const QString &path, QString *errorText = nullptr);
    // Answers a client an upgrade carried, and lets it go.
    static void answerCarried(qintptr descriptor, const ControlResult &result);
    // Ends every open call (followers see the end of their stream), closes the
    // clients and removes the socket file.
    void close();
    QString path() const;
    bool isListening() const;

    void setHandler(const QString &command, ControlHandler handler);
    int clientCount() const { return m_connections.size(); }

Q_SIGNALS:
    // A request named a command this server has; it is being handled.
    void commandDispatched();

private:
    friend class ControlConnection;
    void onNewConnection();
    void dispatch(ControlCall &call);

    QLocalServer *m_server;
    QHash<QString, ControlHandler> m_handlers;
    QList<ControlConnection *> m_connections;
    QString m_adoptedPath; // removed at close: a carried socket does not remove its file
};
