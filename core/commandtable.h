#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <array>
#include <optional>

// The chat service's client keywords, in the order in which a line's keyword
// is compared with them. Keywords are case-sensitive: "message" is unknown.
enum class Command
{
    Message,
    Msg,
    GetIp,
    RequestOp,
    Ban,
    Kick,
    Name,
    Pm,
    Url,
    Motd,
    Game,
    Start,
    Decline,
    GetProfile2,
    Profile,
    Profile2,
    PingUser,
    ReturnPing,
    Server,
    Action,
    Except,
    Ip,
    IpBan,
    InGame,
    ClientState,
    Away,
    ReturnCs,
    Return,
    UserIp,
    OkReturnIp,
    GetIpFt,
    OkUserFt,
    Sound,
    NewUser,
};

constexpr int CommandCount = 34;

constexpr std::array<QByteArrayView, CommandCount> CommandKeywords = {
    "Message", "MSG",        "GETIP",    "RequestOP",  "BAN",    "KICK",     "Name",
    "PM",      "URL",        "MOTD",     "GAME",       "START",  "DECLINE",  "GETPROFILE2",
    "PROFILE", "PROFILE2",   "PINGUSER", "RETURNPING", "SERVER", "ACTION",   "XCEPT",
    "IP",      "IPBAN",      "INGAME",   "[CS]",       "[AW]",   "RETURNCS", "RETURN",
    "USERIP",  "OKRETURNIP", "GETIPFT",  "OKUSERFT",   "SOUND",  "NEWUSER",
};

// The first keyword of the table equal to `keyword`, if any.
std::optional<Command> findCommand(QByteArrayView keyword);

// A message line's fields, field 0 the keyword. Handlers read positions that a
// line may not carry; a missing field is "not there", never an error.
using Fields = QList<QByteArray>;

inline const QByteArray *field(const Fields &fields, qsizetype position)
{
    return position >= 0 && position < fields.size() ? &fields[position] : nullptr;
}

// Joins fields with TAB and ends the line with CR LF.
QByteArray messageLine(std::initializer_list<QByteArrayView> fields);
