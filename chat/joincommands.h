#pragma once

#include "chat/commandtable.h"

// Joining: "Name", "MOTD", "PROFILE", "SERVER" and the chat service's "NEWUSER".
namespace JoinCommands {
HandlerOutcome onName(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onMotd(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onProfile(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onServer(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onNewUser(CommandContext &context, const Sender &sender, const Fields &fields);
} // namespace JoinCommands
