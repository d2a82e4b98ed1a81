#include "chat/commandtable.h"

#include "chat/commandcontext.h"
#include "chat/joincommands.h"
#include "chat/messagingcommands.h"
#include "chat/moderationcommands.h"
#include "chat/presencecommands.h"
#include "chat/relaycommands.h"
#include "chat/statusline.h"

namespace {
using namespace JoinCommands;
using namespace MessagingCommands;
using namespace ModerationCommands;
using namespace PresenceCommands;
using namespace RelayCommands;

constexpr Access Anyone = Access::Anyone;
constexpr Access Moderator = Access::Moderator;
constexpr After AsHandlerSays = After::AsHandlerSays;
constexpr After Stop = After::Stop;
using enum ServiceCounters::Traffic;

const QByteArray PermissionDeniedLine = StatusLine::make(StatusLine::Red, "Permission Denied");
} // namespace

// IPBAN is for moderators too: anyone else could ban any address for good.
constexpr std::array<CommandRow, CommandCount> CommandRows = {{
    {"Message", onMessage, Anyone, AsHandlerSays, Public},
    {"MSG", onMsg, Moderator, AsHandlerSays, Moderation},
    {"GETIP", onGetIp, Moderator, AsHandlerSays, Moderation},
    {"RequestOP", onRequestOp, Anyone, AsHandlerSays, Moderation},
    {"BAN", onBan, Moderator, AsHandlerSays, Moderation},
    {"KICK", onKick, Moderator, Stop, Moderation},
    {"Name", onName, Anyone, AsHandlerSays, Presence},
    {"PM", onPm, Anyone, AsHandlerSays, Private},
    {"URL", onUrl, Anyone, AsHandlerSays, Private},
    {"MOTD", onMotd, Anyone, AsHandlerSays, Presence},
    {"GAME", onGame, Anyone, AsHandlerSays, Private},
    {"START", relay<StartRelay>, Anyone, AsHandlerSays, Private},
    {"DECLINE", relay<DeclineRelay>, Anyone, AsHandlerSays, Private},
    {"GETPROFILE2", relay<GetProfile2Relay>, Anyone, AsHandlerSays, Private},
    {"PROFILE", onProfile, Anyone, AsHandlerSays, Presence},
    {"PROFILE2", relay<Profile2Relay>, Anyone, AsHandlerSays, Private},
    {"PINGUSER", relay<PingUserRelay>, Anyone, AsHandlerSays, Private},
    {"RETURNPING", relay<ReturnPingRelay>, Anyone, AsHandlerSays, Private},
    {"SERVER", onServer, Anyone, AsHandlerSays, Presence},
    {"ACTION", onAction, Anyone, AsHandlerSays, Public},
    {"XCEPT", relay<ExceptRelay>, Anyone, AsHandlerSays, Private},
    {"IP", onIp, Anyone, AsHandlerSays, Other},
    {"IPBAN", onIpBan, Moderator, AsHandlerSays, Moderation},
    {"INGAME", onInGame, Anyone, AsHandlerSays, Presence},
    {"[CS]", onClientState, Anyone, AsHandlerSays, Presence},
    {"[AW]", onAway, Anyone, AsHandlerSays, Presence},
    {"RETURNCS", onReturnCs, Anyone, AsHandlerSays, Presence},
    {"RETURN", onReturn, Anyone, AsHandlerSays, Presence},
    {"USERIP", relay<UserIpRelay>, Anyone, AsHandlerSays, Private},
    {"OKRETURNIP", relay<OkReturnIpRelay>, Anyone, AsHandlerSays, Private},
    {"GETIPFT", relay<GetIpFtRelay>, Anyone, AsHandlerSays, Private},
    {"OKUSERFT", relay<OkUserFtRelay>, Anyone, AsHandlerSays, Private},
    {"SOUND", onSound, Anyone, Stop, Public},
    {"NEWUSER", onNewUser, Anyone, AsHandlerSays, Other},
}};

// A row left out would leave an empty one at the end of the table.
constexpr bool everyRowFilled()
{
    for (const CommandRow &row : CommandRows) {
        if (row.keyword.empty())
            return false;
    }
    return true;
}
static_assert(everyRowFilled(), "the table needs one row per keyword");

const CommandRow *findCommand(QByteArrayView keyword)
{
    for (const CommandRow &row : CommandRows) {
        if (row.keyword == keyword)
            return &row;
    }
    return nullptr;
}

HandlerOutcome dispatchCommand(CommandContext &context, const Sender &sender, const Fields &fields)
{
    const CommandRow *row = findCommand(fields.constFirst());
    if (!row)
        return HandlerOutcome::NextLine;
    ++context.table().counters().messages[std::size_t(row->traffic)];
    HandlerOutcome outcome = HandlerOutcome::NextLine;
    if (row->access == Access::Moderator && !context.table().slot(sender.index).operatorFlag)
        context.send(sender.index, PermissionDeniedLine);
    else
        outcome = row->handler(context, sender, fields);
    return row->after == After::Stop ? HandlerOutcome::Stop : outcome;
}
