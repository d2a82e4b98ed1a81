#pragma once

#include "chat/ipnoticegate.h"
#include "chat/recordfiles.h"
#include "core/banrules.h"
#include "core/connectiontable.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class ChatServer;

// What a chat command handler works with: sends, the user list rows, the
// ban list, the sysop list, the log and the operator. It stands
// between the handlers and the chat service, so the handlers know nothing of
// connections or sockets.
class CommandContext
{
public:
    explicit CommandContext(ChatServer &server);

    ConnectionTable &table();
    const QByteArray &motd() const;

    // --- sending (a send to an index that is not connected does nothing)
    bool isConnected(int index) const;
    void send(int index, const QByteArray &line);
    // To every row equal to `name` ignoring case, rows 0 to 49 in order.
    void sendToNamed(const QByteArray &name, const QByteArray &line);
    void broadcastMessage(const QByteArray &text); // BroadcastMessage
    QByteArray remoteAddress(int index) const;
    // The sender's address, also when it has just left.
    QByteArray addressOf(const Sender &sender) const;

    // The sender's index still holds the sender's connection: it has not
    // been thrown out by the handler itself.
    bool isStillHere(const Sender &sender) const;

    // --- ending connections
    void disconnectUser(int index); // DisconnectUser
    // A refused join: the connection ends and nobody is told.
    void refuse(int index);
    // A user in the room now, no longer timed out for not joining.
    void markJoined(const Sender &sender);

    // --- files; a file that cannot be used is told to the operator once
    // The bans in force; expired ones are lifted from the files first.
    QList<Ban> activeBans();
    // A moderator's ban: it expires after the operator's moderator ban
    // duration, if one is set.
    void ban(const QByteArray &address, const QByteArray &name, const QByteArray &by,
             const QByteArray &reason);
    // One line of the security log.
    void reportSecurityEvent(const QByteArray &line);
    // IsSysop: `done` gets whether the sysop list has a record with this
    // e-mail and password. A hashed password is checked off the service
    // thread, the sender's later lines held until then; `done` runs only
    // while the sender is still here.
    void checkSysop(const Sender &sender, const QByteArray &email, const QByteArray &password,
                    const std::function<void(bool)> &done);
    // Runs `answer` to a RequestOP now, or, for an address that guessed
    // moderator passwords, after a delay with the sender's later lines held
    // until then (as the login service answers VALIDATE).
    void answerModeratorRequest(const Sender &sender, const QByteArray &name, bool granted,
                                const std::function<void()> &answer);
    bool logEvent(const QByteArray &text); // LogEvent
    // A client's NEWUSER record in the file it names in the working
    // directory; a refusal is told to the operator and the host's tools.
    void writeRecord(const Sender &sender, const QByteArray &name, const Fields &fields);

    // --- the operator
    void addOutputLine(const QByteArray &text); // AddOutputLine
    // A box for the operator; the sender's further lines are served while it is open.
    void notifyOperator(const QByteArray &text);
    IpNoticeGate &ipNotices() { return m_ipNotices; }

private:
    ChatServer &m_server;
    IpNoticeGate m_ipNotices;
    RecordFiles m_records;
};
