#include "chat/relaycommands.h"

#include "chat/commandcontext.h"

namespace {
using Outcome = HandlerOutcome;

constexpr int GameDataFields = 6;
constexpr int MaxInvitees = 5;

// The keyword and fields first..last joined by TAB, CR LF; empty when the
// line lacks one of them.
QByteArray relayedLine(const char *keyword, const Fields &fields, int first, int last,
                       RelayCommands::Tail tail)
{
    if (last >= fields.size())
        return QByteArray();
    QByteArray line(keyword);
    for (int i = first; i <= last; ++i)
        line += '\t' + fields[i];
    if (tail == RelayCommands::Tail::EmptyField)
        line += '\t';
    line += "\r\n";
    return line;
}

// The count must be decimal digits worth 1 to 5; anything else invites nobody.
int inviteeCount(const QByteArray &text)
{
    if (text.isEmpty())
        return 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
    }
    bool ok = false;
    const int count = text.toInt(&ok);
    return ok && count >= 1 && count <= MaxInvitees ? count : 0;
}
} // namespace

HandlerOutcome RelayCommands::relayLine(CommandContext &context, const Fields &fields,
                                        const Relay &relay)
{
    const QByteArray *addressee = field(fields, relay.addressee);
    const QByteArray line = relayedLine(relay.keyword, fields, relay.first, relay.last, relay.tail);
    if (addressee && !line.isEmpty())
        context.sendToNamed(*addressee, line);
    return Outcome::NextLine;
}

HandlerOutcome RelayCommands::onGame(CommandContext &context, const Sender &, const Fields &fields)
{
    const QByteArray *countField = field(fields, 1);
    const int count = countField ? inviteeCount(*countField) : 0;
    if (count == 0)
        return Outcome::NextLine;
    const QByteArray line =
        relayedLine("GAME", fields, count + 2, count + 1 + GameDataFields, Tail::None);
    if (line.isEmpty())
        return Outcome::NextLine;
    for (int i = 2; i <= count + 1; ++i)
        context.sendToNamed(fields[i], line);
    return Outcome::NextLine;
}
