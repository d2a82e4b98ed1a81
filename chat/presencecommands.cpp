#include "chat/presencecommands.h"

#include "chat/ipnoticegate.h"
#include "core/chatserver.h"
#include "core/codepage.h"

#include <functional>

// Client lines handled here (field 1 is normally the sender's own name):
//   INGAME | [CS] | [AW] | RETURNCS | RETURN  TAB name
//   SOUND TAB sound | IP TAB text
// Every socket is told a state change as  REMOVEUSER TAB old  ADDUSER TAB new;
// sounds leave as  PLAYSOUND TAB sound.

namespace {
using Outcome = HandlerOutcome;

const QByteArray InGame = QByteArrayLiteral(" [IG]");
const QByteArray Away = QByteArrayLiteral(" [AW]");
const QByteArray ClientState = QByteArrayLiteral(" [CS]");

enum class Announce
{
    // Only while the sender is listed, yielding after each socket told.
    WhileListed,
    Always,
};

// Tells every socket that `from` became `to`.
Outcome announceChange(ChatServer &server, const Sender &sender, const QByteArray &from,
                       const QByteArray &to, Announce announce,
                       const std::function<void(int)> &changeRow)
{
    const QByteArray lines = messageLine({"REMOVEUSER", from}) + messageLine({"ADDUSER", to});
    const ConnectionTable &table = server.table();
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        changeRow(i);
        if (announce == Announce::Always) {
            server.send(i, lines);
        } else if (!table.isRowEmpty(sender.index) && server.isConnected(i)) {
            server.send(i, lines);
            if (!server.yieldFor(sender))
                return Outcome::Stop;
        }
    }
    return Outcome::NextLine;
}

// The rows equal to the name get the suffix. A free row is nobody's, so it is
// never marked, whatever name a client gives.
Outcome markState(ChatServer &server, const Sender &sender, const QByteArray &name,
                  const QByteArray &suffix, Announce announce)
{
    ConnectionTable &table = server.table();
    const QByteArray upper = Codepage::toUpper(name);
    const QByteArray marked = name + suffix;
    return announceChange(server, sender, name, marked, announce, [&](int i) {
        if (!table.isRowEmpty(i) && table.rowUpper(i) == upper)
            table.setRow(i, table.row(i) + suffix);
    });
}

// The rows that end in the suffix get the name back as the client wrote it.
Outcome clearState(ChatServer &server, const Sender &sender, const QByteArray &name,
                   const QByteArray &suffix)
{
    ConnectionTable &table = server.table();
    const QByteArray marked = name + suffix;
    const QByteArray upper = Codepage::toUpper(marked);
    return announceChange(server, sender, marked, name, Announce::WhileListed, [&](int i) {
        if (table.rowUpper(i) == upper)
            table.setRow(i, name);
    });
}

Outcome onInGame(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? markState(server, sender, *name, InGame, Announce::WhileListed)
                : Outcome::NextLine;
}

Outcome onClientState(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? markState(server, sender, *name, ClientState, Announce::Always)
                : Outcome::NextLine;
}

Outcome onAway(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    if (!name)
        return Outcome::NextLine;
    const QByteArray marked = *name + Away;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (server.table().row(i) == marked)
            return Outcome::Stop;
    }
    if (!server.yieldFor(sender))
        return Outcome::Stop;
    return markState(server, sender, *name, Away, Announce::WhileListed);
}

Outcome onReturnCs(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? clearState(server, sender, *name, Away) : Outcome::NextLine;
}

Outcome onReturn(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *name = field(fields, 1);
    return name ? clearState(server, sender, *name, InGame) : Outcome::NextLine;
}

Outcome onSound(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *sound = field(fields, 1);
    if (!sound)
        return Outcome::Stop;
    const QByteArray line = messageLine({"PLAYSOUND", *sound});
    const ConnectionTable &table = server.table();
    for (int k = 0; k < ConnectionTable::Size; ++k) {
        if (!table.row(k).endsWith(InGame))
            server.send(k, line);
        if (!server.yieldFor(sender))
            break;
    }
    return Outcome::Stop;
}

Outcome onIp(ChatServer &server, const Sender &sender, const Fields &fields)
{
    const QByteArray *text = field(fields, 1);
    if (!text)
        return Outcome::NextLine;
    IpNoticeGate &gate = IpNoticeGate::of(server);
    if (!gate.mayOpenBox()) {
        server.addOutputLine(*text);
        gate.textLogged();
        return Outcome::NextLine;
    }
    gate.boxOpened();
    server.notifyOperator(Codepage::toDisplay(*text));
    gate.boxClosed();
    return server.isStillHere(sender) ? Outcome::NextLine : Outcome::Stop;
}
} // namespace

void PresenceCommands::registerHandlers(ChatServer &server)
{
    server.setHandler(Command::InGame, onInGame);
    server.setHandler(Command::ClientState, onClientState);
    server.setHandler(Command::Away, onAway);
    server.setHandler(Command::ReturnCs, onReturnCs);
    server.setHandler(Command::Return, onReturn);
    server.setHandler(Command::Sound, onSound);
    server.setHandler(Command::Ip, onIp);
}
