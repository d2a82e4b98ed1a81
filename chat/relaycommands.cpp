#include "chat/relaycommands.h"

#include "chat/userlookup.h"
#include "core/chatserver.h"

#include <array>

// Client line                               -> line to the addressee's rows
//   GETPROFILE2 TAB to TAB requester        -> GETPROFILE2 TAB requester TAB
//   PROFILE2 TAB to TAB p2 .. p14           -> PROFILE TAB p2 .. p14
//   PINGUSER TAB to TAB requester           -> PING TAB requester TAB
//   RETURNPING TAB a TAB b TAB to           -> THEPING TAB a TAB b
//   START TAB to                            -> START
//   DECLINE | XCEPT TAB to TAB name         -> DECLINE TAB name | XCEPT TAB name TAB
//   USERIP | OKRETURNIP | GETIPFT | OKUSERFT TAB to TAB data
//                                           -> GETUSERIP | OKUSERIP | GETIPFT | RETURNFT TAB data
//   GAME TAB n TAB to1 .. to_n TAB g1 .. g6 -> GAME TAB g1 .. g6   (to each of to1 .. to_n)

namespace {
using Outcome = HandlerOutcome;

struct Relay
{
    Command command;
    const char *keyword; // of the line sent
    int addressee;       // the field naming the receivers
    int first;           // the fields copied, first to last; none when first > last
    int last;
    bool endsWithEmptyField;
};

constexpr std::array<Relay, 11> Relays = {{
    {Command::GetProfile2, "GETPROFILE2", 1, 2, 2, true},
    {Command::Profile2, "PROFILE", 1, 2, 14, false},
    {Command::PingUser, "PING", 1, 2, 2, true},
    {Command::ReturnPing, "THEPING", 3, 1, 2, false},
    {Command::Start, "START", 1, 1, 0, false},
    {Command::Decline, "DECLINE", 1, 2, 2, false},
    {Command::Except, "XCEPT", 1, 2, 2, true},
    {Command::UserIp, "GETUSERIP", 1, 2, 2, false},
    {Command::OkReturnIp, "OKUSERIP", 1, 2, 2, false},
    {Command::GetIpFt, "GETIPFT", 1, 2, 2, false},
    {Command::OkUserFt, "RETURNFT", 1, 2, 2, false},
}};

// The keyword and fields first..last joined by TAB, CR LF; empty when the
// line lacks one of them.
QByteArray relayedLine(const char *keyword, const Fields &fields, int first, int last,
                       bool endsWithEmptyField)
{
    if (last >= fields.size())
        return QByteArray();
    QByteArray line(keyword);
    for (int i = first; i <= last; ++i)
        line += '\t' + fields[i];
    if (endsWithEmptyField)
        line += '\t';
    line += "\r\n";
    return line;
}

template <int N> Outcome relay(ChatServer &server, const Sender &, const Fields &fields)
{
    const Relay &r = Relays[N];
    const QByteArray *addressee = field(fields, r.addressee);
    const QByteArray line = relayedLine(r.keyword, fields, r.first, r.last, r.endsWithEmptyField);
    if (addressee && !line.isEmpty())
        UserLookup::sendToMatching(server, *addressee, line);
    return Outcome::NextLine;
}

template <int... N> void registerRelays(ChatServer &server, std::integer_sequence<int, N...>)
{
    (server.setHandler(Relays[N].command, relay<N>), ...);
}

constexpr int GameDataFields = 6;
constexpr int MaxInvitees = 5;

// The count must be decimal digits worth 1 to 5; anything else invites nobody.
int inviteeCount(const QByteArray &text)
{
    if (text.isEmpty())
        return 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
    }
    bool ok = false;
    const int count = text.toInt(&ok);
    return ok && count >= 1 && count <= MaxInvitees ? count : 0;
}

Outcome onGame(ChatServer &server, const Sender &, const Fields &fields)
{
    const QByteArray *countField = field(fields, 1);
    const int count = countField ? inviteeCount(*countField) : 0;
    if (count == 0)
        return Outcome::NextLine;
    const QByteArray line =
        relayedLine("GAME", fields, count + 2, count + 1 + GameDataFields, false);
    if (line.isEmpty())
        return Outcome::NextLine;
    for (int i = 2; i <= count + 1; ++i)
        UserLookup::sendToMatching(server, fields[i], line);
    return Outcome::NextLine;
}
} // namespace

void RelayCommands::registerHandlers(ChatServer &server)
{
    registerRelays(server, std::make_integer_sequence<int, int(Relays.size())>());
    server.setHandler(Command::Game, onGame);
}
