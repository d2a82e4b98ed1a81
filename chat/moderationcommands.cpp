#include "chat/moderationcommands.h"

#include "chat/commandcontext.h"
#include "chat/statusline.h"
#include "core/codepage.h"
#include "core/securitylog.h"

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
using Outcome = HandlerOutcome;

const QByteArray &ModeratorMark = ConnectionTable::ModeratorMark;
const QByteArray GrantedLine =
    StatusLine::make(StatusLine::Blue, "Moderator Privlidges Granted - You are now a moderator.");
const QByteArray DeniedLine =
    StatusLine::make(StatusLine::Red, "Moderator Privlidges Denied - You have been logged.");

const QByteArray &moderatorName(CommandContext &context, const Sender &sender)
{
    return context.table().slot(sender.index).name;
}

// Every connected user whose entry has the name (ignoring case) is banned and
// thrown out, one after the other. Stop when the moderator is gone.
Outcome banConnectedNamed(CommandContext &context, const Sender &sender, const QByteArray &name,
                          const QByteArray *reason)
{
    ConnectionTable &table = context.table();
    for (int j = 0; j < ConnectionTable::Size; ++j) {
        const ConnectionSlot &target = table.slot(j);
        if (target.free || !context.isConnected(j) ||
            !Codepage::equalsIgnoringCase(target.name, name))
            continue;
        context.ban(context.remoteAddress(j), target.name, moderatorName(context, sender),
                    reason ? *reason : QByteArray());
        if (reason)
            context.send(j, messageLine({"BANUSER", moderatorName(context, sender), *reason}));
        context.disconnectUser(j);
        if (!context.isStillHere(sender))
            return Outcome::Stop; // banned themselves
    }
    return Outcome::NextLine;
}
void refuseModerator(CommandContext &context, const Sender &sender, const QByteArray &claimed)
{
    context.reportSecurityEvent(SecurityLog::moderatorRefused(context.addressOf(sender), claimed));
    context.answerModeratorRequest(sender, claimed, false,
                                   [&context, sender] { context.send(sender.index, DeniedLine); });
}

void grantModerator(CommandContext &context, const Sender &sender, const QByteArray &name)
{
    context.answerModeratorRequest(sender, name, true, [&context, sender, name] {
        ConnectionTable &table = context.table();
        const int s = sender.index;
        table.slot(s).operatorFlag = true;
        context.send(s, GrantedLine);
        table.setRow(s, ModeratorMark + table.row(s));
        table.slot(s).name.prepend(ModeratorMark);
        // The others' lists change for the name the line gave.
        const QByteArray lines = messageLine({"REMOVEUSER", name}) +
                                 messageLine({"ADDUSER", QByteArray(ModeratorMark + name)});
        for (int i = 0; i < ConnectionTable::Size; ++i)
            context.send(i, lines);
    });
}
} // namespace

// Answered after the password check (off the service thread for a hashed
// password) and the delay of password-guessing protection, if any; the
// sender's later lines wait behind the answer.
HandlerOutcome ModerationCommands::onRequestOp(CommandContext &context, const Sender &sender,
                                               const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    const QByteArray *email = field(fields, 2);
    const QByteArray *password = field(fields, 3);
    if (!name || !email || !password) {
        refuseModerator(context, sender, name ? *name : QByteArray());
        return Outcome::NextLine;
    }
    context.checkSysop(sender, *email, *password, [&context, sender, name = *name](bool granted) {
        if (granted)
            grantModerator(context, sender, name);
        else
            refuseModerator(context, sender, name);
    });
    return Outcome::NextLine;
}

HandlerOutcome ModerationCommands::onGetIp(CommandContext &context, const Sender &sender,
                                           const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    for (int x = 0; x < ConnectionTable::Size; ++x) {
        const ConnectionSlot &slot = context.table().slot(x);
        if (slot.free || slot.name != *name)
            continue;
        context.send(
            sender.index,
            messageLine({"Message",
                         QByteArray("* " + slot.name + "'s IP: " + context.remoteAddress(x)), ""}));
        return Outcome::Stop;
    }
    return Outcome::NextLine;
}

// Each user row equal to the name (ignoring case) is logged, then every
// connected user of that name is banned.
HandlerOutcome ModerationCommands::onBan(CommandContext &context, const Sender &sender,
                                         const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    const QByteArray *reason = field(fields, 2);
    if (!name)
        return Outcome::NextLine;
    const ConnectionTable &table = context.table();
    const FoldedName folded(*name);
    const auto users = ConnectionTable::Rows::OfUsers;
    for (int i = table.findRow(folded, 0, users); i >= 0; i = table.findRow(folded, i + 1, users)) {
        context.logEvent(moderatorName(context, sender) + " banned " + *name + " (" +
                         context.remoteAddress(i) + ")");
        if (banConnectedNamed(context, sender, *name, reason) == Outcome::Stop)
            return Outcome::Stop;
    }
    if (reason) {
        // The text ends with CR LF: receivers get a second line holding a TAB.
        context.broadcastMessage("* " + *name + " was banned from Tarnwick by " +
                                 moderatorName(context, sender) + "! Reason: " + *reason + "\r\n");
    }
    return Outcome::NextLine;
}

// The name must equal the row as shown, moderator mark and suffixes included.
HandlerOutcome ModerationCommands::onKick(CommandContext &context, const Sender &sender,
                                          const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    const QByteArray *reason = field(fields, 2);
    if (!name)
        return Outcome::Stop;
    if (reason) {
        context.logEvent(*name + " was kicked by " + moderatorName(context, sender) +
                         ". Reason: " + *reason);
        context.broadcastMessage("* " + *name + " was kicked from Tarnwick by " +
                                 moderatorName(context, sender) + "! Reason: " + *reason);
    }
    const ConnectionTable &table = context.table();
    const auto users = ConnectionTable::Rows::OfUsers;
    for (int i = table.findRowExactly(*name, 0, users); i >= 0;
         i = table.findRowExactly(*name, i + 1, users)) {
        if (reason)
            context.send(i, messageLine({"Kicked", moderatorName(context, sender), *reason}));
        ++context.table().counters().kicks;
        context.reportSecurityEvent(SecurityLog::kick(context.remoteAddress(i), table.slot(i).name,
                                                      moderatorName(context, sender)));
        context.disconnectUser(i);
        if (!context.isStillHere(sender))
            return Outcome::Stop;
    }
    return Outcome::Stop;
}

HandlerOutcome ModerationCommands::onIpBan(CommandContext &context, const Sender &sender,
                                           const Fields &fields)
{
    if (const QByteArray *address = field(fields, 1))
        context.ban(*address, {}, moderatorName(context, sender), {});
    return Outcome::NextLine;
}
