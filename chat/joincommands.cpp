#include "chat/joincommands.h"

#include "chat/commandcontext.h"
#include "core/codepage.h"
#include "core/securitylog.h"

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

Outcome refuseTakenName(CommandContext &context, const Sender &sender)
{
    context.send(sender.index, DoubleLine);
    context.refuse(sender.index);
    return Outcome::Stop;
}

// Stop when the sender is banned.
Outcome checkBanList(CommandContext &context, const Sender &sender, const QByteArray &name)
{
    const QList<Ban> bans = context.activeBans();
    const QByteArray address = context.addressOf(sender);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const Ban &ban : bans) {
        const bool covers = ban.range ? ban.range->contains(address) : ban.target == address;
        if (covers && !ban.hasExpired(now)) {
            context.reportSecurityEvent(SecurityLog::bannedJoin(address, name, ban.target));
            context.send(sender.index, BannedLine);
            context.disconnectUser(sender.index);
            return Outcome::Stop;
        }
    }
    return Outcome::NextLine;
}

// The newcomer learns every listed row, and every index learns the newcomer.
Outcome exchangeListings(CommandContext &context, const Sender &sender, const QByteArray *name)
{
    ConnectionTable &table = context.table();
    const QByteArray newcomerLine = name ? messageLine({"ADDUSER", *name}) : QByteArray();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        const QByteArray &row = table.row(i);
        if (row != ConnectionTable::EmptyRow && row != table.slot(sender.index).name)
            context.send(sender.index, messageLine({"ADDUSER", row}));
        if (name)
            context.send(i, newcomerLine);
    }
    return Outcome::NextLine;
}

} // namespace

HandlerOutcome JoinCommands::onName(CommandContext &context, const Sender &sender,
                                    const Fields &fields)
{
    ConnectionTable &table = context.table();
    const int s = sender.index;
    const QByteArray *name = field(fields, 1);
    if (name) {
        table.slot(s).name = *name;
        if (table.findRow(FoldedName(*name)) >= 0)
            return refuseTakenName(context, sender);
        table.setRow(s, *name);
    }
    context.send(s, messageLine({"MOTD", context.motd()}));

    if (checkBanList(context, sender, name ? *name : QByteArray()) == Outcome::Stop)
        return Outcome::Stop;

    if (name) {
        context.markJoined(sender);
        context.send(s, messageLine({"GETPROFILE", *name, ""}));
    }

    return exchangeListings(context, sender, name);
}

HandlerOutcome JoinCommands::onMotd(CommandContext &context, const Sender &sender, const Fields &)
{
    context.send(sender.index, messageLine({"MOTD", context.motd()}));
    return Outcome::NextLine;
}

// Every listed user of that name is warned about a wrong version (a line
// without a version field is not judged).
HandlerOutcome JoinCommands::onProfile(CommandContext &context, const Sender &,
                                       const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    const FoldedName folded(*name);
    const QByteArray *version = field(fields, 3);
    const ConnectionTable &table = context.table();
    const auto users = ConnectionTable::Rows::OfUsers;
    for (int i = table.findRow(folded, 0, users); i >= 0; i = table.findRow(folded, i + 1, users)) {
        if (version && *version != ClientVersion) {
            context.send(i, VersionWarningLine);
            return Outcome::Stop;
        }
    }
    return Outcome::NextLine;
}

// The name is kept in the sender's entry only; no further list is kept.
HandlerOutcome JoinCommands::onServer(CommandContext &context, const Sender &sender,
                                      const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    context.table().slot(sender.index).name = *name;
    const QByteArray line = messageLine({"Announce", QByteArray(*name + JoinedText)});
    for (int i = 0; i < ConnectionTable::Size; ++i)
        context.send(i, line);
    return Outcome::NextLine;
}

HandlerOutcome JoinCommands::onNewUser(CommandContext &context, const Sender &sender,
                                       const Fields &fields)
{
    if (const QByteArray *name = field(fields, 1))
        context.writeRecord(sender, *name, fields);
    return Outcome::NextLine;
}
