#pragma once

#include "core/connectiontable.h"
#include "core/messageline.h"

#include <QByteArrayView>

#include <array>

class CommandContext;

using CommandHandler = HandlerOutcome (*)(CommandContext &context, const Sender &sender,
                                          const Fields &fields);

// Who may send a command: anyone, or only a sender whose entry has the
// moderator flag; anyone else is answered "Permission Denied".
enum class Access
{
    Anyone,
    Moderator
};

// What follows a command in its chunk.
enum class After
{
    AsHandlerSays, // the next line, unless the handler stops
    Stop           // nothing: the rest of the chunk is dropped, also after a refusal
};

struct CommandRow
{
    QByteArrayView keyword;
    CommandHandler handler;
    Access access;
    After after;
    ServiceCounters::Traffic traffic; // how monitoring counts it
};

constexpr int CommandCount = 34;

// The chat service's client keywords, in the order in which a line's keyword
// is compared with them. Keywords are case-sensitive: "message" is unknown.
extern const std::array<CommandRow, CommandCount> CommandRows;

// The first row whose keyword equals `keyword`; null when none does.
const CommandRow *findCommand(QByteArrayView keyword);

// Hands a line to its command's handler, or refuses it for want of the
// moderator flag. Lines with unknown keywords are ignored.
HandlerOutcome dispatchCommand(CommandContext &context, const Sender &sender, const Fields &fields);
