#pragma once

#include "core/abuselimits.h"
#include "core/banstore.h"
#include "core/chatlog.h"
#include "core/connectiontable.h"
#include "core/loglimits.h"
#include "core/messageline.h"
#include "core/serverconfig.h"
#include "core/textfilecache.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

class AddressLimits;
class ConnectionPool;
class LoginThrottle;
class PasswordChecker;
struct Farewell;

// The chat service on port 3069: its connections (sckServer(i)) over the
// shared connection table, the receive path (log.txt, the name-claim check,
// the hand-off to the commands), the room broadcast and the ways a connection
// ends.
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
    // The connection limits shared with the login service, flood control and
    // the expiry of moderators' bans.
    // When log.txt rotates and how many old logs are kept.
    void setLogRotation(const LogLimits &limits)
    {
        m_log.setRotation(limits.rotateBytes, limits.keep);
    }
    void setProtection(AddressLimits *addresses, const AbuseLimits &limits);
    const AbuseLimits &limits() const { return m_limits; }
    std::chrono::seconds moderatorBanDuration() const { return m_limits.moderatorBanDuration; }
    // Moderator password guessing, per address, as VALIDATE on the login service.
    LoginThrottle &moderatorThrottle() { return *m_moderatorThrottle; }
    // One line of the security log (SecurityLog), for the host's tools.
    void reportSecurityEvent(const QByteArray &line);

    // Ends every chat connection without telling anybody and empties the rows.
    void shutdown();

    // Reads motd.txt from the program folder; a missing or unreadable file
    // gives an empty MOTD (errorText says why it could not be read).
    bool loadMotd(QString *errorText = nullptr);
    const QByteArray &motd() const { return m_motd; }
    void setMotd(const QByteArray &text);

    // Every line that passes the name-claim check goes here (the chat commands).
    using LineHandler = std::function<HandlerOutcome(const Sender &sender, const Fields &fields)>;
    void setLineHandler(LineHandler handler) { m_lineHandler = std::move(handler); }

    // --- used by the handlers and the console ---
    ConnectionTable &table() { return m_table; }
    const ServerConfig &config() const { return m_config; }
    ConnectionPool &connections() { return *m_pool; }
    // Where moderator passwords are checked; without one, on this thread.
    PasswordChecker *passwordChecker() const { return m_checker; }
    void setPasswordChecker(PasswordChecker *checker) { m_checker = checker; }
    // ban.txt and ban-meta.txt of the program folder.
    BanStore &bans() { return m_bans; }
    // sysops.dat of the program folder, read at a moderator request.
    TextFileCache &sysops() { return m_sysops; }

    bool isConnected(int index) const;
    // Queues one whole line on connection `index`; nothing when it is not connected.
    bool send(int index, const QByteArray &line);
    QByteArray remoteAddress(int index) const;
    // The address of the connection that holds the entry or held it last.
    QByteArray lastAddress(int index) const;

    // The sender's index still holds the connection the handler acts for.
    bool isStillHere(const Sender &sender) const;

    void addOutputLine(const QByteArray &text);    // AddOutputLine
    void broadcastMessage(const QByteArray &text); // BroadcastMessage
    void disconnectUser(int index);                // DisconnectUser
    // Ends a connection without telling anybody (a refused join).
    void dropQuietly(int index);
    // A client told to leave goes by itself; one that has gone already and
    // only finishes the lines held back from it ends now, as if it closed now.
    void endIfPeerLeft(int index);
    // The operator told the sender to leave: still there after the leave
    // grace, it is closed as if it had closed itself.
    void closeAfterGrace(const Sender &sender);
    // What is left of the leave grace on `index`, for an upgrade; -1 when
    // nobody there was told to leave.
    qint64 leaveGraceLeftMs(int index) const;
    void resumeLeaveGrace(int index, std::chrono::milliseconds left);
    bool logEvent(const QByteArray &text); // LogEvent
    // A text for the operator (shown in a message box by the console, which
    // the service never waits for).
    void notifyOperator(const QString &text);
    // A file the service needs cannot be used: the operator reads `text` in the
    // log view once, not again until the file has worked in between.
    void reportFileProblem(const QString &path, const QString &text);
    void clearFileProblem(const QString &path);

Q_SIGNALS:
    void outputLine(const QByteArray &text);
    void operatorNotice(const QString &text);
    void motdChanged(const QByteArray &text);

private:
    void closeHandling(int index);
    // Every drop of a chat connection, so that no leave timer outlives it.
    void drop(int index, const Farewell &farewell);
    void onLeaveGraceOver(int index);
    void logChunk(const Sender &sender, const QByteArray &chunk, const QByteArray &pending);
    HandlerOutcome handleLine(const Sender &sender, const QByteArray &line);
    bool passesNameClaim(int index, const Fields &fields) const;
    void noteLogWrite(bool written);

    ConnectionTable &m_table;
    ServerConfig m_config;
    ChatLog m_log;
    ConnectionPool *m_pool;
    LineHandler m_lineHandler;
    QByteArray m_motd;
    QSet<QString> m_fileProblems;
    AbuseLimits m_limits;
    std::unique_ptr<LoginThrottle> m_moderatorThrottle;
    PasswordChecker *m_checker = nullptr;
    BanStore m_bans;
    TextFileCache m_sysops;
    std::array<QTimer, ConnectionTable::Size> m_leaveTimers;
    // The connection each leave timer is for: a newcomer on the index is spared.
    std::array<quint64, ConnectionTable::Size> m_leaving{};
};
