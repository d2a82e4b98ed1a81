#pragma once

#include "chat/commandtable.h"

// The room and private lines: "Message", "MSG", "ACTION", "PM", "URL".
namespace MessagingCommands {
HandlerOutcome onMessage(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onMsg(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onAction(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onPm(CommandContext &context, const Sender &sender, const Fields &fields);
HandlerOutcome onUrl(CommandContext &context, const Sender &sender, const Fields &fields);
} // namespace MessagingCommands
