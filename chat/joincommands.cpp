#include "chat/joincommands.h"

#include "chat/newuserrecord.h"
#include "core/banlist.h"
#include "core/chatserver.h"
#include "core/codepage.h"
#include "platform/clientsocket.h"

#include <QCoreApplication>
#include <QFileInfo>

// Client lines handled here:
//   Name TAB name | MOTD | PROFILE TAB name TAB x TAB version ... | SERVER TAB name
//   NEWUSER TAB file TAB ... (15 fields)
// Replies: DOUBLE | banned | MOTD TAB text | GETPROFILE TAB name TAB | ADDUSER TAB row
//   PM TAB "SERVER: " TAB warning | Announce TAB name " has joined Tarnwick!"

namespace {
using Outcome = HandlerOutcome;

const QByteArray DoubleLine = QByteArrayLiteral("DOUBLE\r\n");
const QByteArray BannedLine = QByteArrayLiteral("banned\r\n");
const QByteArray ClientVersion = QByteArrayLiteral("5.0");
const QByteArray VersionWarningLine = QByteArrayLiteral(
    "PM\tSERVER: \tIncorrect Version, you should be using version 5.0. Please Download the "
    "latest version from the tarnwick website or file mirror.\r\n");
const QByteArray JoinedText = QByteArrayLiteral(" has joined Tarnwick!");

bool isTaken(const ConnectionTable &table, const QByteArray &name)
{
    const QByteArray upper = Codepage::toUpper(name);
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.rowUpper(i) == upper)
            return true;
    }
    return false;
}

Outcome refuseTakenName(ChatServer &server, const Sender &sender)
{
    server.send(sender.index, DoubleLine);
    server.table().setRow(sender.index, ConnectionTable::EmptyRow);
    server.socket(sender.index).close();
    server.table().release(sender.index);
    server.yieldFor(sender);
    return Outcome::Stop;
}

// Walks ban.txt (read whole first: no file stays open across a yield). Stop
// when the sender is banned or gone.
Outcome checkBanList(ChatServer &server, const Sender &sender)
{
    const QString path = server.config().programFile(QStringLiteral("ban.txt"));
    QString error;
    const QList<QByteArray> items = BanList::readItems(path, &error);
    if (error.isEmpty()) {
        server.clearFileProblem(path);
    } else {
        server.reportFileProblem(
            path, QStringLiteral("Cannot read the ban list %1: %2. No address is banned until "
                                 "it can be read.")
                      .arg(path, error));
    }
    const QByteArray address = server.socket(sender.index).lastRemoteAddress();
    for (const QByteArray &item : items) {
        if (item == address) {
            server.send(sender.index, BannedLine);
            if (server.yieldFor(sender))
                server.disconnectUser(sender.index);
            return Outcome::Stop;
        }
        if (!server.yieldFor(sender))
            return Outcome::Stop;
    }
    return Outcome::NextLine;
}

Outcome onName(ChatServer &server, const Sender &sender, const Fields &fields)
{
    ConnectionTable &table = server.table();
    const int s = sender.index;
    const QByteArray *name = field(fields, 1);
    if (name) {
        table.slot(s).name = *name;
        if (isTaken(table, *name))
            return refuseTakenName(server, sender);
        // Listed before the first yield: a join with the same name that runs
        // during the yield finds it taken.
        table.setRow(s, *name);
    }
    if (!server.yieldFor(sender))
        return Outcome::Stop;

    server.send(s, messageLine({"MOTD", server.motd()}));
    if (!server.yieldFor(sender))
        return Outcome::Stop;

    if (checkBanList(server, sender) == Outcome::Stop)
        return Outcome::Stop;

    if (name)
        server.send(s, messageLine({"GETPROFILE", *name, ""}));
    if (!server.yieldFor(sender))
        return Outcome::Stop;

    const QByteArray newcomerLine = name ? messageLine({"ADDUSER", *name}) : QByteArray();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        const QByteArray &row = table.row(i);
        if (row != ConnectionTable::EmptyRow && row != table.slot(s).name)
            server.send(s, messageLine({"ADDUSER", row}));
        if (name)
            server.send(i, newcomerLine);
        if (!server.yieldFor(sender))
            return Outcome::Stop;
    }
    return Outcome::NextLine;
}

Outcome onMotd(ChatServer &server, const Sender &sender, const Fields &)
{
    server.send(sender.index, messageLine({"MOTD", server.motd()}));
    return Outcome::NextLine;
}

Outcome onProfile(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    const QByteArray upper = Codepage::toUpper(*name);
    const QByteArray *version = field(fields, 3);
    const ConnectionTable &table = server.table();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.isRowEmpty(i) || table.rowUpper(i) != upper)
            continue;
        if (!server.yieldFor(sender))
            return Outcome::Stop;
        // A line without a version field is not judged.
        if (version && *version != ClientVersion) {
            server.send(i, VersionWarningLine);
            server.yieldFor(sender);
            return Outcome::Stop;
        }
    }
    return Outcome::NextLine;
}

// The name is kept in the sender's slot only; no further list is kept.
Outcome onServer(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    server.table().slot(sender.index).name = *name;
    const QByteArray text = *name + JoinedText;
    const QByteArray line = messageLine({"Announce", text});
    for (int i = 0; i < ConnectionTable::Size; ++i)
        server.send(i, line);
    return Outcome::NextLine;
}

QByteArray executableName()
{
    return Codepage::fromDisplay(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

Outcome onNewUser(ChatServer &server, const Sender &, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    if (!NewUserRecord::isAllowedFileName(*name, executableName())) {
        server.addOutputLine(NewUserRecord::refusalText(*name));
        return Outcome::NextLine;
    }
    NewUserRecord::append(server.config().workingFile(Codepage::toDisplay(*name)),
                          NewUserRecord::record(fields));
    return Outcome::NextLine;
}
} // namespace

void JoinCommands::registerHandlers(ChatServer &server)
{
    server.setHandler(Command::Name, onName);
    server.setHandler(Command::Motd, onMotd);
    server.setHandler(Command::Profile, onProfile);
    server.setHandler(Command::Server, onServer);
    server.setHandler(Command::NewUser, onNewUser);
}
