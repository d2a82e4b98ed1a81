#include "chat/messagingcommands.h"

#include "chat/commandcontext.h"

// Client lines handled here:
//   Message TAB label TAB text | MSG TAB text | ACTION TAB text
//   PM TAB addressee TAB text TAB sender | URL TAB addressee TAB address TAB sender
// Public text leaves as  Message TAB text TAB  (BroadcastMessage); private lines
// as  PM TAB sender TAB text  and  URL TAB sender TAB address.

namespace {
using Outcome = HandlerOutcome;

Outcome relayPrivate(CommandContext &context, const Fields &fields, QByteArrayView keyword)
{
    const QByteArray *addressee = field(fields, 1);
    const QByteArray *body = field(fields, 2);
    const QByteArray *from = field(fields, 3);
    if (addressee && body && from)
        context.sendToNamed(*addressee, messageLine({keyword, *from, *body}));
    return Outcome::NextLine;
}
} // namespace

HandlerOutcome MessagingCommands::onMessage(CommandContext &context, const Sender &,
                                            const Fields &fields)
{
    const QByteArray *label = field(fields, 1);
    const QByteArray *text = field(fields, 2);
    if (label && text)
        context.broadcastMessage(*label + '\t' + *text);
    return Outcome::NextLine;
}

HandlerOutcome MessagingCommands::onMsg(CommandContext &context, const Sender &,
                                        const Fields &fields)
{
    if (const QByteArray *text = field(fields, 1))
        context.broadcastMessage("Server: " + *text);
    return Outcome::NextLine;
}

// The trailing " " CR LF is part of the text, so receivers get a second line
// holding a single TAB after the action.
HandlerOutcome MessagingCommands::onAction(CommandContext &context, const Sender &,
                                           const Fields &fields)
{
    if (const QByteArray *text = field(fields, 1))
        context.broadcastMessage(*text + " \t \r\n");
    return Outcome::NextLine;
}

HandlerOutcome MessagingCommands::onPm(CommandContext &context, const Sender &,
                                       const Fields &fields)
{
    return relayPrivate(context, fields, "PM");
}

HandlerOutcome MessagingCommands::onUrl(CommandContext &context, const Sender &,
                                        const Fields &fields)
{
    return relayPrivate(context, fields, "URL");
}
