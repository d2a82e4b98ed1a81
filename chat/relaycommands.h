#pragma once

#include "chat/commandtable.h"

// Lines the server passes from one user to others found by name: profiles,
// pings, game invitations and answers, and address exchanges.
//
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
namespace RelayCommands {

// A line passed on: its keyword and the fields first..last of the client's
// line (none when first > last), sent to the rows named by field `addressee`.
enum class Tail
{
    None,
    EmptyField // a TAB before the CR LF
};

struct Relay
{
    const char *keyword;
    int addressee;
    int first;
    int last;
    Tail tail;
};

inline constexpr Relay GetProfile2Relay{"GETPROFILE2", 1, 2, 2, Tail::EmptyField};
inline constexpr Relay Profile2Relay{"PROFILE", 1, 2, 14, Tail::None};
inline constexpr Relay PingUserRelay{"PING", 1, 2, 2, Tail::EmptyField};
inline constexpr Relay ReturnPingRelay{"THEPING", 3, 1, 2, Tail::None};
inline constexpr Relay StartRelay{"START", 1, 1, 0, Tail::None};
inline constexpr Relay DeclineRelay{"DECLINE", 1, 2, 2, Tail::None};
inline constexpr Relay ExceptRelay{"XCEPT", 1, 2, 2, Tail::EmptyField};
inline constexpr Relay UserIpRelay{"GETUSERIP", 1, 2, 2, Tail::None};
inline constexpr Relay OkReturnIpRelay{"OKUSERIP", 1, 2, 2, Tail::None};
inline constexpr Relay GetIpFtRelay{"GETIPFT", 1, 2, 2, Tail::None};
inline constexpr Relay OkUserFtRelay{"RETURNFT", 1, 2, 2, Tail::None};

HandlerOutcome relayLine(CommandContext &context, const Fields &fields, const Relay &relay);

template <const Relay &R>
HandlerOutcome relay(CommandContext &context, const Sender &, const Fields &fields)
{
    return relayLine(context, fields, R);
}

HandlerOutcome onGame(CommandContext &context, const Sender &sender, const Fields &fields);
} // namespace RelayCommands
