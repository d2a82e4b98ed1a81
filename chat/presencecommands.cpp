#include "chat/presencecommands.h"

#include "chat/commandcontext.h"

#include <functional>

// Client lines handled here (field 1 is normally the sender's own name):
//   INGAME | [CS] | [AW] | RETURNCS | RETURN  TAB name
//   SOUND TAB sound | IP TAB text
// Every index is told a state change as  REMOVEUSER TAB old  ADDUSER TAB new;
// sounds leave as  PLAYSOUND TAB sound.

namespace {
using Outcome = HandlerOutcome;

const QByteArray &InGame = ConnectionTable::InGameSuffix;
const QByteArray &Away = ConnectionTable::AwaySuffix;
const QByteArray &ClientState = ConnectionTable::ClientStateSuffix;

enum class Announce
{
    // Only while the sender is listed.
    WhileListed,
    Always,
};

// Walks the indices, changing each one's row and telling it that `from`
// became `to`.
Outcome announceChange(CommandContext &context, const Sender &sender, const QByteArray &from,
                       const QByteArray &to, Announce announce,
                       const std::function<void(int)> &changeRow)
{
    const QByteArray lines = messageLine({"REMOVEUSER", from}) + messageLine({"ADDUSER", to});
    const ConnectionTable &table = context.table();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        changeRow(i);
        if (announce == Announce::Always) {
            context.send(i, lines);
        } else if (!table.isRowEmpty(sender.index) && context.isConnected(i)) {
            context.send(i, lines);
        }
    }
    return Outcome::NextLine;
}

// The rows equal to the name get the suffix. A free row is nobody's, so it is
// never marked, whatever name a client gives.
Outcome markState(CommandContext &context, const Sender &sender, const QByteArray &name,
                  const QByteArray &suffix, Announce announce)
{
    ConnectionTable &table = context.table();
    const FoldedName folded(name);
    return announceChange(context, sender, name, name + suffix, announce, [&](int i) {
        if (table.isRowNamed(i, folded, ConnectionTable::Rows::OfUsers))
            table.setRow(i, table.row(i) + suffix);
    });
}

// The rows equal to the marked name get the name back as the client wrote it.
Outcome clearState(CommandContext &context, const Sender &sender, const QByteArray &name,
                   const QByteArray &suffix)
{
    ConnectionTable &table = context.table();
    const QByteArray marked = name + suffix;
    const FoldedName folded(marked);
    return announceChange(context, sender, marked, name, Announce::WhileListed, [&](int i) {
        if (table.isRowNamed(i, folded))
            table.setRow(i, name);
    });
}
} // namespace

HandlerOutcome PresenceCommands::onInGame(CommandContext &context, const Sender &sender,
                                          const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? markState(context, sender, *name, InGame, Announce::WhileListed)
                : Outcome::NextLine;
}

HandlerOutcome PresenceCommands::onClientState(CommandContext &context, const Sender &sender,
                                               const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? markState(context, sender, *name, ClientState, Announce::Always)
                : Outcome::NextLine;
}

// A user already marked away (the row exactly so) ends the chunk.
HandlerOutcome PresenceCommands::onAway(CommandContext &context, const Sender &sender,
                                        const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    if (context.table().findRowExactly(*name + Away) >= 0)
        return Outcome::Stop;
    return markState(context, sender, *name, Away, Announce::WhileListed);
}

HandlerOutcome PresenceCommands::onReturnCs(CommandContext &context, const Sender &sender,
                                            const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? clearState(context, sender, *name, Away) : Outcome::NextLine;
}

HandlerOutcome PresenceCommands::onReturn(CommandContext &context, const Sender &sender,
                                          const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? clearState(context, sender, *name, InGame) : Outcome::NextLine;
}

HandlerOutcome PresenceCommands::onSound(CommandContext &context, const Sender &,
                                         const Fields &fields)
{
    const QByteArray *sound = field(fields, 1);
    if (!sound)
        return Outcome::Stop;
    const QByteArray line = messageLine({"PLAYSOUND", *sound});
    const ConnectionTable &table = context.table();
    for (int k = 0; k < ConnectionTable::Size; ++k) {
        if (!table.row(k).endsWith(InGame))
            context.send(k, line);
    }
    return Outcome::Stop;
}

// The operator's box is shown beside the room, which goes on meanwhile.
HandlerOutcome PresenceCommands::onIp(CommandContext &context, const Sender &, const Fields &fields)
{
    const QByteArray *text = field(fields, 1);
    if (!text)
        return Outcome::NextLine;
    IpNoticeGate &gate = context.ipNotices();
    if (gate.mayOpenBox())
        context.notifyOperator(*text);
    else
        context.addOutputLine(*text);
    gate.textSeen();
    return Outcome::NextLine;
}
