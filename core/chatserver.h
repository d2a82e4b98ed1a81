#pragma once

#include "core/chatlog.h"
#include "core/commandtable.h"
#include "core/connectiontable.h"
#include "core/serverconfig.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include <array>

class ClientSocket;
class ConnectionPool;
class ChatServer;

// Who a handler acts for: the index and the connection that was there when the
// line arrived. After a yield the index may hold somebody else.
struct Sender
{
    int index;
    quint64 connection;
};

enum class HandlerOutcome
{
    NextLine,
    Stop
};

using CommandHandler = HandlerOutcome (*)(ChatServer &server, const Sender &sender,
                                          const Fields &fields);

// The chat service on port 3069: the 50 client sockets sckServer(i) over the
// shared connection table, the receive path (log, framing, name-claim check,
// dispatch), the room broadcast and the two ways a connection ends.
//
// Wire grammar, both directions:  keyword *( TAB field ) CR LF
// 8-bit text, no quoting; a field holds neither TAB nor CR LF.
class ChatServer : public QObject
{
    Q_OBJECT
public:
    ChatServer(ConnectionTable &table, const ServerConfig &config, QObject *parent = nullptr);
    ~ChatServer() override;

    // Binds and listens on the chat port; on failure errorText says why.
    bool listen(QString *errorText = nullptr);
    quint16 port() const;
    // Ends every chat connection without telling anybody and empties the rows.
    void shutdown();

    // Reads motd.txt from the program folder; a missing or unreadable file
    // gives an empty MOTD (errorText says why it could not be read).
    bool loadMotd(QString *errorText = nullptr);
    const QByteArray &motd() const { return m_motd; }
    void setMotd(const QByteArray &text);

    void setHandler(Command command, CommandHandler handler);

    // --- used by the handlers and the console ---
    ConnectionTable &table() { return m_table; }
    const ServerConfig &config() const { return m_config; }
    ChatLog &log() { return m_log; }

    bool isConnected(int index) const;
    // Queues one whole line on socket `index`; nothing when it is not connected.
    bool send(int index, const QByteArray &line);
    QByteArray remoteAddress(int index) const;

    // The sender's index still holds the connection the handler acts for.
    bool isStillHere(const Sender &sender) const;
    // Gives way to the event loop, then tells whether the sender is still here.
    bool yieldFor(const Sender &sender);

    void addOutputLine(const QByteArray &text);    // AddOutputLine
    void broadcastMessage(const QByteArray &text); // BroadcastMessage
    void disconnectUser(int index);                // DisconnectUser
    bool logEvent(const QByteArray &text);         // LogEvent
    // A text for the operator (shown in a message box by the console).
    void notifyOperator(const QString &text);
    // A file the service needs cannot be used: the operator reads `text` in the
    // log view once, not again until the file has worked in between.
    void reportFileProblem(const QString &path, const QString &text);
    void clearFileProblem(const QString &path);

    ClientSocket &socket(int index);

    // Takes a slot for a connection without a network (tests, fuzzing) the way
    // a connection request does; -1 when all slots are taken.
    int acceptSimulated(const QByteArray &remoteAddress);

Q_SIGNALS:
    void outputLine(const QByteArray &text);
    void operatorNotice(const QString &text);
    void motdChanged(const QByteArray &text);

private:
    void closeHandling(int index);
    void processChunk(const Sender &sender, const QByteArray &chunk);
    bool passesNameClaim(int index, const Fields &fields) const;
    void noteLogWrite(bool written);

    ConnectionTable &m_table;
    ServerConfig m_config;
    ChatLog m_log;
    ConnectionPool *m_pool;
    std::array<CommandHandler, CommandCount> m_handlers{};
    QByteArray m_motd;
    QSet<QString> m_fileProblems;
};
