#pragma once

#include "core/connectiontable.h"
#include "operator/mailbox.h"
#include "operator/operatorapi.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <chrono>
#include <functional>
#include <optional>

// The console's way to the operator API, which lives on the service thread.
// Every command is one call posted there; its result comes back posted to
// this client's thread and is handed to the reply, unless the reply's context
// object has gone meanwhile. The API's events come back the same way as this
// client's signals, in the order they happened, and keep the mirror the
// window reads (the user rows, the MOTD, Require Passwords), which starts
// from a snapshot taken when the client attaches. The commands and events
// are the control socket's, so the transport could become that socket.
//
// A few queries block until the service thread answers: a window that is
// being loaded needs its content at once (the MOTD file, the sysop list, the
// ban list). The service thread never waits for this one, so they cannot
// deadlock; they wait only for the command before them.
class OperatorClient : public QObject
{
    Q_OBJECT
public:
    template <typename Result> using Reply = std::function<void(const Result &)>;

    // `api` lives on the thread of `serviceMailbox`, which must end before
    // this client is destroyed.
    OperatorClient(OperatorApi &api, Mailbox &serviceMailbox, QObject *parent = nullptr);
    ~OperatorClient() override;

    // The mirror.
    QByteArray row(int index) const { return m_rows.at(index); }
    QByteArray motd() const { return m_motd; }
    bool passwordsRequired() const { return m_passwordsRequired; }
    QString usersDatabasePath() const { return m_usersDatabasePath; }
    QString sysopsPath() const { return m_sysopsPath; }
    // A server file is being made, asked for here or elsewhere.
    bool isMakingServerFile() const { return m_serverFileRequests > 0 || m_serverFileBarShown; }

    // Commands without an answer.
    void say(const QByteArray &text);
    void announce(const QByteArray &text);
    void setRunningMotd(const QByteArray &text);
    void setPasswordsRequired(bool required);
    void shutdown();

    // Commands with an answer: `reply` runs on this thread while `context`
    // exists.
    void findUser(const QByteArray &name, QObject *context,
                  Reply<std::optional<OperatorTarget>> reply);
    void addressOf(int index, QObject *context, Reply<QByteArray> reply);
    void kick(const OperatorTarget &target, const QByteArray &reason);
    void ban(const OperatorTarget &target, const QByteArray &reason, QObject *context,
             Reply<OperatorResult> reply);
    void banAddress(const QByteArray &target, std::optional<std::chrono::seconds> duration,
                    const QByteArray &reason, QObject *context, Reply<OperatorResult> reply);
    void unban(const QByteArray &target, QObject *context, Reply<OperatorResult> reply);
    void setMotd(const QByteArray &text, QObject *context, Reply<OperatorResult> reply);
    void setSysops(const QList<SysopEntry> &entries, QObject *context, Reply<OperatorResult> reply);
    void makeServerFile(const QString &name, QObject *context, Reply<OperatorResult> reply);

    // Returns once every event of the services before now is posted to
    // this thread (the log lines held for the next batch too).
    void sync();

    // Blocking queries, for a window being loaded.
    std::optional<QByteArray> readMotdFile(QString *error);
    std::optional<QList<SysopEntry>> sysops(QString *error);
    std::optional<QList<Ban>> bans(QString *error);

Q_SIGNALS:
    void logLine(const QByteArray &text);
    void notice(const QString &text, OperatorApi::Severity severity);
    void userRowChanged(int index, const QByteArray &row);
    void motdChanged(const QByteArray &text);
    void passwordsRequiredChanged(bool required);
    void serverFileNameChanged(const QString &name);
    void serverFileProgress(double fraction);
    void serverFileProgressEnded();
    void bansChanged();
    void registeredUsersCounted(const QByteArray &summary);
    void shutdownRequested();

private:
    void attach();
    // `call` runs on the service thread; its result is handed to `reply` here.
    template <typename Result>
    void request(std::function<Result(OperatorApi &)> call, QObject *context, Reply<Result> reply);
    void send(std::function<void(OperatorApi &)> call);
    void query(const std::function<void(OperatorApi &)> &call);
    // On the service thread: `signal`'s arguments handed to `slot` here.
    template <typename... Arguments>
    void relay(void (OperatorApi::*signal)(Arguments...),
               void (OperatorClient::*slot)(Arguments...));

    // On the service thread: log lines go over in batches, one per pace.
    static constexpr std::chrono::milliseconds LogLinePace{100};
    void relayLogLine(const QByteArray &text);
    void startLogLineHold();
    void endLogLineHold();
    void postHeldLogLines();

    void onRowChanged(int index, const QByteArray &row);
    void onMotdChanged(const QByteArray &text);
    void onPasswordsRequiredChanged(bool required);
    void onServerFileProgress(double fraction);
    void onServerFileProgressEnded();

    OperatorApi *m_api;
    Mailbox &m_service;
    Mailbox m_inbox; // on this client's thread
    std::array<QByteArray, ConnectionTable::Size> m_rows;
    QByteArray m_motd;
    bool m_passwordsRequired = false;
    QString m_usersDatabasePath;
    QString m_sysopsPath;
    // On the service thread: the lines held for the next batch.
    QList<QByteArray> m_heldLogLines;
    bool m_holdingLogLines = false;
    int m_serverFileRequests = 0;
    bool m_serverFileBarShown = false;
};
