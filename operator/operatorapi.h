#pragma once

#include "core/banrules.h"
#include "operator/logstream.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class ChatServer;
class ConnectionTable;
class LoginServer;
class ServerFileMaker;
struct SysopRecord;
struct ServerConfig;

struct OperatorResult
{
    bool ok = true;
    QString error; // for the operator, whole
    static OperatorResult failure(QString error) { return {false, std::move(error)}; }
};

// A row of the user list that is not "EMPTY".
struct UserEntry
{
    int index;
    QByteArray row;     // as the list shows it: marks and state suffixes included
    QByteArray name;    // the connection's name
    QByteArray address; // dotted decimal, empty when the chat socket is not connected
};

struct ServerStatus
{
    quint16 chatPort;
    quint16 loginPort;
    bool chatListening;
    bool loginListening;
    int users;     // rows that are not "EMPTY"
    int freeSlots; // entries of the connection table neither service holds
    qint64 uptimeSeconds;
    bool passwordsRequired;
    std::optional<qint64> registeredUsers; // nothing when the users store cannot be read
    std::optional<bool> passwordsHashed;   // the store's form; nothing as above
};

struct SysopEntry
{
    QByteArray name; // description, not used to log in
    QByteArray email;
    QByteArray password;
    bool operator==(const SysopEntry &) const = default;
};

// A user chosen by name before the reason is asked: may have left by the time
// it is used.
struct OperatorTarget
{
    int index;
    quint64 connection;
    QByteArray address;
};

// Everything the operator can do, without widgets. It lives with the services:
// the console's windows reach it from their own thread through
// OperatorClient and show `notice` in a message box; a program without
// windows prints the notices and log lines and calls the same functions.
class OperatorApi : public QObject
{
    Q_OBJECT
public:
    // How grave a notice is: the log stream's own scale.
    using Severity = LogStream::Severity;

    OperatorApi(ChatServer &chat, LoginServer &login, QObject *parent = nullptr);
    ~OperatorApi() override;

    ServerStatus status() const;
    QList<UserEntry> users() const;
    // A connected user whose whole name equals `name`, ignoring case. A client
    // that has connected but not joined has the empty name.
    std::optional<OperatorTarget> findUser(const QByteArray &name) const;
    // "Get IP": the chat socket's remote address, empty when not connected.
    QByteArray addressOf(int index) const;

    // "NOTIFY": a MSGBOX line to every row that is not "EMPTY", users in a game
    // included; a failed send is skipped. Nothing is logged.
    void announce(const QByteArray &text);
    // "Kicked" / "BANUSER" from "The Server". The ban line is written first
    // and holds the address of the user chosen, even if they have left since;
    // the notice goes only to a user still there, who is closed after the
    // leave grace unless it leaves by itself.
    OperatorResult kick(const OperatorTarget &target, const QByteArray &reason);
    OperatorResult ban(const OperatorTarget &target, const QByteArray &reason);
    // The same with an expiry for the ban list; nothing is none.
    OperatorResult ban(const OperatorTarget &target, const QByteArray &reason,
                       std::optional<std::chrono::seconds> duration);
    OperatorResult kick(const QByteArray &name, const QByteArray &reason);
    OperatorResult ban(const QByteArray &name, const QByteArray &reason,
                       std::optional<std::chrono::seconds> duration = std::nullopt);

    // The ban list with what is known of each ban; expired bans are lifted
    // first. Nothing (with the reason) when it cannot be read.
    std::optional<QList<Ban>> bans(QString *error);
    // An address or a CIDR range ("10.1.0.0/16"), set by the operator.
    OperatorResult banAddress(const QByteArray &target,
                              std::optional<std::chrono::seconds> duration,
                              const QByteArray &reason);
    // Lifts every ban of that address or range.
    OperatorResult unban(const QByteArray &target);
    // The console's input line: "Server: " and the text to the room.
    void say(const QByteArray &text);

    QByteArray motd() const;
    // The MOTD editor's OK: motd.txt in the working directory replaced by the
    // text and CR LF, then the running MOTD. On failure neither changes.
    OperatorResult setMotd(const QByteArray &text);
    // The console's MOTD box: the text joins get, no file written.
    void setRunningMotd(const QByteArray &text);
    // Re-reads motd.txt from the program folder as at start-up.
    OperatorResult reloadMotd();
    // The MOTD editor's file, whole; a missing one is created holding CR LF.
    // Nothing (with the reason) when it cannot be read or created.
    std::optional<QByteArray> readMotdFile(QString *error) const;

    // The sysop list file. Nothing (with the reason) when it cannot be read.
    std::optional<QList<SysopEntry>> sysops(QString *error) const;
    // The sysop editor's Save && Close: the whole list replaced.
    OperatorResult setSysops(const QList<SysopEntry> &entries);
    OperatorResult addSysop(const SysopEntry &entry);    // appended at the end
    OperatorResult removeSysop(const QByteArray &email); // every record with this e-mail
    // Every plain password in the sysop list replaced by its hash, the file
    // replaced as a whole.
    OperatorResult hashSysops();
    // New and changed passwords are stored hashed: the users store is (or
    // will be, made by this server).
    bool storesHashes() const;
    QString sysopsPath() const;

    bool passwordsRequired() const { return m_passwordsRequired; }
    void setPasswordsRequired(bool required);

    // File > Make Server File with the name the operator gave: runs in
    // slices, the chat served meanwhile; the outcome is also told by
    // serverFileFinished. The console asks for the name itself.
    OperatorResult makeServerFile(const QString &name);

    QString usersDatabasePath() const;

    // File > Exit: every chat connection closed without notice, rows emptied.
    void shutdown();

Q_SIGNALS:
    void logLine(const QByteArray &text); // every line the console's log view shows
    void notice(const QString &text, OperatorApi::Severity severity);
    void userRowChanged(int index, const QByteArray &row);
    void motdChanged(const QByteArray &text);
    void passwordsRequiredChanged(bool required);
    // Label2: the name of the last server file made.
    void serverFileNameChanged(const QString &name);
    // The share of the bar's frame the bar fills; 0 when a run starts.
    void serverFileProgress(double fraction);
    void serverFileProgressEnded();
    void serverFileFinished(const OperatorResult &result);
    void shutdownRequested();
    // A ban was added or lifted by the operator.
    void bansChanged();
    // The users window's count line after a registration.
    void registeredUsersCounted(const QByteArray &summary);

private:
    friend class ServerCore;
    class ServerFileDialogs;
    enum class Notice
    {
        Kick,
        Ban
    };
    OperatorResult sendNotice(Notice notice, const OperatorTarget &target,
                              const QByteArray &reason);
    // Called by ServerCore::start.
    // `uptime`: how long the server ran before an upgrade.
    void noteStarted(bool chatListening, bool loginListening,
                     std::chrono::milliseconds uptime = std::chrono::milliseconds::zero());
    std::chrono::milliseconds uptime() const;
    OperatorResult saveSysops(const QList<SysopRecord> &records);

    ChatServer &m_chat;
    LoginServer &m_login;
    ConnectionTable &m_table;
    const ServerConfig &m_config;
    std::unique_ptr<ServerFileDialogs> m_serverFileDialogs;
    ServerFileMaker *m_serverFile;
    bool m_passwordsRequired = false;
    bool m_chatListening = false;
    bool m_loginListening = false;
    QElapsedTimer m_running;
    std::chrono::milliseconds m_uptimeBefore{0};
};
