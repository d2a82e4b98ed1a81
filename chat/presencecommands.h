#pragma once

#include "chat/commandtable.h"

// State marks in the user list ("INGAME", "[CS]", "[AW]", "RETURNCS",
// "RETURN"), sounds ("SOUND") and texts for the operator ("IP").
namespace PresenceCommands {
HandlerOutcome onInGame(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onClientState(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onAway(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onReturnCs(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onReturn(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onSound(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onIp(CommandContext &context, const Sender &sender, const Fields &fields);
} // namespace PresenceCommands
