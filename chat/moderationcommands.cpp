#include "chat/moderationcommands.h"

#include "admin/sysoplist.h"
#include "core/banlist.h"
#include "core/chatserver.h"
#include "core/codepage.h"

// Client to server:
//   RequestOP TAB name TAB e-mail TAB password
//   GETIP TAB name            BAN TAB name TAB reason
//   KICK TAB display-name TAB reason           IPBAN TAB address
// Server to client:
//   STATUSTEXT TAB colour TAB text
//   Message TAB "* " name "'s IP: " address TAB
//   BANUSER TAB moderator TAB reason           Kicked TAB moderator TAB reason
//   REMOVEUSER TAB name       ADDUSER TAB "¥" name

namespace {

const QByteArray ModeratorMark = QByteArrayLiteral("\xA5");
const QByteArray PermissionDenied = QByteArrayLiteral("STATUSTEXT\t255\tPermission Denied\r\n");
const QByteArray Granted = QByteArrayLiteral(
    "STATUSTEXT\t16711680\tModerator Privlidges Granted - You are now a moderator.\r\n");
const QByteArray Denied =
    QByteArrayLiteral("STATUSTEXT\t255\tModerator Privlidges Denied - You have been logged.\r\n");

bool isModerator(ChatServer &server, const Sender &sender)
{
    if (server.table().slot(sender.index).operatorFlag)
        return true;
    server.send(sender.index, PermissionDenied);
    return false;
}

const QByteArray &moderatorName(ChatServer &server, const Sender &sender)
{
    return server.table().slot(sender.index).name;
}

// A row that holds a user: the rows of free and not yet joined entries read
// "EMPTY" and are nobody to act on.
bool isUserRow(ChatServer &server, int index)
{
    return !server.table().isRowEmpty(index);
}

// The target of a kick or ban is still the connection that was there before
// the handler gave way to the event loop.
bool isSameConnection(ChatServer &server, int index, quint64 connection)
{
    const ConnectionSlot &slot = server.table().slot(index);
    return !slot.free && slot.connection == connection;
}

void appendBan(ChatServer &server, const QByteArray &address)
{
    QString errorText;
    const QString path = server.config().programFile(QStringLiteral("ban.txt"));
    if (!BanList::append(path, address, &errorText)) {
        server.addOutputLine("The ban of " + address + " could not be stored in " +
                             Codepage::fromDisplay(path) + ": " + Codepage::fromDisplay(errorText));
    }
}

// IsSysop; a list that cannot be read is told to the operator once.
bool isSysop(ChatServer &server, const QString &path, const QByteArray &email,
             const QByteArray &password)
{
    QString errorText;
    const bool sysop = SysopList::isSysop(path, email, password, &errorText);
    if (errorText.isEmpty()) {
        server.clearFileProblem(path);
    } else {
        server.reportFileProblem(path, QStringLiteral("Cannot read the sysop list %1: %2. Nobody "
                                                      "becomes a moderator until it can be read.")
                                           .arg(path, errorText));
    }
    return sysop;
}

HandlerOutcome requestOp(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    const QByteArray *email = field(fields, 2);
    const QByteArray *password = field(fields, 3);
    const QString path = server.config().programFile(QLatin1String(SysopList::FileName));
    if (!name || !email || !password || !isSysop(server, path, *email, *password)) {
        server.send(sender.index, Denied);
        return HandlerOutcome::NextLine;
    }
    ConnectionTable &table = server.table();
    const int s = sender.index;
    table.slot(s).operatorFlag = true;
    server.send(s, Granted);
    table.setRow(s, ModeratorMark + table.row(s));
    table.slot(s).name.prepend(ModeratorMark);
    // The others' lists change for the name the line gave.
    const QByteArray lines =
        "REMOVEUSER\t" + *name + "\r\nADDUSER\t" + ModeratorMark + *name + "\r\n";
    for (int i = 0; i < ConnectionTable::Size; ++i)
        server.send(i, lines);
    return HandlerOutcome::NextLine;
}

HandlerOutcome getIp(ChatServer &server, const Sender &sender, const Fields &fields)
{
    if (!isModerator(server, sender))
        return HandlerOutcome::NextLine;
    const QByteArray *name = field(fields, 1);
    if (!name)
        return HandlerOutcome::NextLine;
    for (int x = 0; x < ConnectionTable::Size; ++x) {
        const ConnectionSlot &slot = server.table().slot(x);
        if (slot.free || slot.name != *name)
            continue;
        server.send(sender.index,
                    "Message\t* " + slot.name + "'s IP: " + server.remoteAddress(x) + "\t\r\n");
        return HandlerOutcome::Stop;
    }
    return HandlerOutcome::NextLine;
}

HandlerOutcome ban(ChatServer &server, const Sender &sender, const Fields &fields)
{
    if (!isModerator(server, sender))
        return HandlerOutcome::NextLine;
    const QByteArray *name = field(fields, 1);
    const QByteArray *reason = field(fields, 2);
    if (!name)
        return HandlerOutcome::NextLine;
    ConnectionTable &table = server.table();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (!isUserRow(server, i) || !Codepage::equalsIgnoringCase(table.row(i), *name))
            continue;
        server.logEvent(moderatorName(server, sender) + " banned " + *name + " (" +
                        server.remoteAddress(i) + ")");
        if (!server.yieldFor(sender))
            return HandlerOutcome::Stop;
        for (int j = 0; j < ConnectionTable::Size; ++j) {
            const ConnectionSlot &target = table.slot(j);
            if (target.free || !server.isConnected(j) ||
                !Codepage::equalsIgnoringCase(target.name, *name))
                continue;
            const quint64 connection = target.connection;
            appendBan(server, server.remoteAddress(j));
            if (reason)
                server.send(j,
                            "BANUSER\t" + moderatorName(server, sender) + '\t' + *reason + "\r\n");
            if (!server.yieldFor(sender))
                return HandlerOutcome::Stop;
            if (!isSameConnection(server, j, connection))
                continue; // gone meanwhile; somebody else may hold the index now
            server.disconnectUser(j);
            table.setRow(j, ConnectionTable::EmptyRow);
            if (!server.isStillHere(sender))
                return HandlerOutcome::Stop; // banned themselves
        }
    }
    if (reason) {
        // The text ends with CR LF: receivers get a second line holding a TAB.
        server.broadcastMessage("* " + *name + " was banned from Tarnwick by " +
                                moderatorName(server, sender) + "! Reason: " + *reason + "\r\n");
        if (!server.isStillHere(sender))
            return HandlerOutcome::Stop;
    }
    return HandlerOutcome::NextLine;
}

HandlerOutcome kick(ChatServer &server, const Sender &sender, const Fields &fields)
{
    if (!isModerator(server, sender))
        return HandlerOutcome::Stop;
    const QByteArray *name = field(fields, 1);
    const QByteArray *reason = field(fields, 2);
    if (!name)
        return HandlerOutcome::Stop;
    if (reason) {
        server.logEvent(*name + " was kicked by " + moderatorName(server, sender) +
                        ". Reason: " + *reason);
        server.broadcastMessage("* " + *name + " was kicked from Tarnwick by " +
                                moderatorName(server, sender) + "! Reason: " + *reason);
        if (!server.isStillHere(sender))
            return HandlerOutcome::Stop;
    }
    ConnectionTable &table = server.table();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (!isUserRow(server, i) || table.row(i) != *name)
            continue;
        const quint64 connection = table.slot(i).connection;
        if (!server.yieldFor(sender))
            return HandlerOutcome::Stop;
        if (!isSameConnection(server, i, connection))
            continue;
        if (reason)
            server.send(i, "Kicked\t" + moderatorName(server, sender) + '\t' + *reason + "\r\n");
        if (!server.yieldFor(sender))
            return HandlerOutcome::Stop;
        if (!isSameConnection(server, i, connection))
            continue;
        server.disconnectUser(i);
        table.setRow(i, ConnectionTable::EmptyRow);
        if (!server.isStillHere(sender))
            return HandlerOutcome::Stop;
    }
    return HandlerOutcome::Stop;
}

HandlerOutcome ipBan(ChatServer &server, const Sender &sender, const Fields &fields)
{
    // Moderators only: anyone else could ban any address for good.
    if (!isModerator(server, sender))
        return HandlerOutcome::NextLine;
    if (const QByteArray *address = field(fields, 1))
        appendBan(server, *address);
    return HandlerOutcome::NextLine;
}

} // namespace

void ModerationCommands::registerHandlers(ChatServer &server)
{
    server.setHandler(Command::GetIp, getIp);
    server.setHandler(Command::RequestOp, requestOp);
    server.setHandler(Command::Ban, ban);
    server.setHandler(Command::Kick, kick);
    server.setHandler(Command::IpBan, ipBan);
}
