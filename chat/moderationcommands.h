#pragma once

#include "chat/commandtable.h"

// Moderator rights and what they allow: "RequestOP", "GETIP", "BAN", "KICK",
// "IPBAN". The moderator check itself is the dispatch table's.
namespace ModerationCommands {
HandlerOutcome onRequestOp(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onGetIp(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onBan(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onKick(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onIpBan(CommandContext &context, const Sender &sender, const Fields &fields);
} // namespace ModerationCommands
