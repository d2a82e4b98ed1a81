#include "chat/messagingcommands.h"

#include "chat/userlookup.h"
#include "core/chatserver.h"

// Client lines handled here:
//   Message TAB label TAB text | MSG TAB text | ACTION TAB text
//   PM TAB addressee TAB text TAB sender | URL TAB addressee TAB address TAB sender
// Public text leaves as  Message TAB text TAB  (BroadcastMessage); private lines
// as  PM TAB sender TAB text  and  URL TAB sender TAB address.

namespace {
using Outcome = HandlerOutcome;

const QByteArray PermissionDeniedLine = QByteArrayLiteral("STATUSTEXT\t255\tPermission Denied\r\n");

Outcome onMessage(ChatServer &server, const Sender &, const Fields &fields)
{
    const QByteArray *label = field(fields, 1);
    const QByteArray *text = field(fields, 2);
    if (label && text)
        server.broadcastMessage(*label + '\t' + *text);
    return Outcome::NextLine;
}

Outcome onMsg(ChatServer &server, const Sender &sender, const Fields &fields)
{
    if (!server.table().slot(sender.index).operatorFlag) {
        server.send(sender.index, PermissionDeniedLine);
        return Outcome::NextLine;
    }
    if (const QByteArray *text = field(fields, 1))
        server.broadcastMessage("Server: " + *text);
    return Outcome::NextLine;
}

// The trailing " " CR LF is part of the text, so receivers get a second line
// holding a single TAB after the action.
Outcome onAction(ChatServer &server, const Sender &, const Fields &fields)
{
    if (const QByteArray *text = field(fields, 1))
        server.broadcastMessage(*text + " \t \r\n");
    return Outcome::NextLine;
}

Outcome relayPrivate(ChatServer &server, const Fields &fields, QByteArrayView keyword)
{
    const QByteArray *addressee = field(fields, 1);
    const QByteArray *body = field(fields, 2);
    const QByteArray *from = field(fields, 3);
    if (addressee && body && from)
        UserLookup::sendToMatching(server, *addressee, messageLine({keyword, *from, *body}));
    return Outcome::NextLine;
}

Outcome onPm(ChatServer &server, const Sender &, const Fields &fields)
{
    return relayPrivate(server, fields, "PM");
}

Outcome onUrl(ChatServer &server, const Sender &, const Fields &fields)
{
    return relayPrivate(server, fields, "URL");
}
} // namespace

void MessagingCommands::registerHandlers(ChatServer &server)
{
    server.setHandler(Command::Message, onMessage);
    server.setHandler(Command::Msg, onMsg);
    server.setHandler(Command::Action, onAction);
    server.setHandler(Command::Pm, onPm);
    server.setHandler(Command::Url, onUrl);
}
