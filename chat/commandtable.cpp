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

const QByteArray PermissionDeniedLine = StatusLine::make(StatusLine::Red, "Permission Denied");
} // namespace

// IPBAN is for moderators too: anyone else could ban any address for good.
constexpr std::array<CommandRow, CommandCount> CommandRows = {{
    {"Message", onMessage, Anyone, AsHandlerSays},
    {"MSG", onMsg, Moderator, AsHandlerSays},
    {"GETIP", onGetIp, Moderator, AsHandlerSays},
    {"RequestOP", onRequestOp, Anyone, AsHandlerSays},
    {"BAN", onBan, Moderator, AsHandlerSays},
    {"KICK", onKick, Moderator, Stop},
    {"Name", onName, Anyone, AsHandlerSays},
    {"PM", onPm, Anyone, AsHandlerSays},
    {"URL", onUrl, Anyone, AsHandlerSays},
    {"MOTD", onMotd, Anyone, AsHandlerSays},
    {"GAME", onGame, Anyone, AsHandlerSays},
    {"START", relay<StartRelay>, Anyone, AsHandlerSays},
    {"DECLINE", relay<DeclineRelay>, Anyone, AsHandlerSays},
    {"GETPROFILE2", relay<GetProfile2Relay>, Anyone, AsHandlerSays},
    {"PROFILE", onProfile, Anyone, AsHandlerSays},
    {"PROFILE2", relay<Profile2Relay>, Anyone, AsHandlerSays},
    {"PINGUSER", relay<PingUserRelay>, Anyone, AsHandlerSays},
    {"RETURNPING", relay<ReturnPingRelay>, Anyone, AsHandlerSays},
    {"SERVER", onServer, Anyone, AsHandlerSays},
    {"ACTION", onAction, Anyone, AsHandlerSays},
    {"XCEPT", relay<ExceptRelay>, Anyone, AsHandlerSays},
    {"IP", onIp, Anyone, AsHandlerSays},
    {"IPBAN", onIpBan, Moderator, AsHandlerSays},
    {"INGAME", onInGame, Anyone, AsHandlerSays},
    {"[CS]", onClientState, Anyone, AsHandlerSays},
    {"[AW]", onAway, Anyone, AsHandlerSays},
    {"RETURNCS", onReturnCs, Anyone, AsHandlerSays},
    {"RETURN", onReturn, Anyone, AsHandlerSays},
    {"USERIP", relay<UserIpRelay>, Anyone, AsHandlerSays},
    {"OKRETURNIP", relay<OkReturnIpRelay>, Anyone, AsHandlerSays},
    {"GETIPFT", relay<GetIpFtRelay>, Anyone, AsHandlerSays},
    {"OKUSERFT", relay<OkUserFtRelay>, Anyone, AsHandlerSays},
    {"SOUND", onSound, Anyone, Stop},
    {"NEWUSER", onNewUser, Anyone, AsHandlerSays},
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
    HandlerOutcome outcome = HandlerOutcome::NextLine;
    if (row->access == Access::Moderator && !context.table().slot(sender.index).operatorFlag)
        context.send(sender.index, PermissionDeniedLine);
    else
        outcome = row->handler(context, sender, fields);
    return row->after == After::Stop ? HandlerOutcome::Stop : outcome;
}
