#pragma once

#include "platform/ownedfiles.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The control socket's protocol: one JSON object per line (UTF-8, LF), text
// in the operator's terminal encoding, never the chat's code page.
//
//   client:  {"command": "sysops add", "arguments": ["Ann", "ann@example.org"],
//             "input": "secret", "options": {}}
//   server:  {"line": "...", "severity": "info"|"warning"|"error"}   streamed, any number
//            {"ok": true, "text": "...", "data": {...}}                ends the command
//            {"ok": false, "error": "..."}                             ends the command
//
// A connection may send further requests after a command has ended; they are
// answered in order. A request line longer than MaxLineLength is refused and
// the connection closed.
namespace ControlProtocol {
constexpr qsizetype MaxLineLength = 64 * 1024;
inline const QString SocketName = OwnedFiles::ControlSocket;

enum class Input
{
    None,
    Text,    // from a file named as the last argument, or standard input
    Password // from standard input or a prompt, never the command line
};

// One control command as the operator types it: its words ("motd set"), the
// arguments that follow, and what else it reads.
struct CommandForm
{
    QString name;
    QString argumentsHelp;
    int arguments = 0;      // exactly this many (a joined text counts as one)
    bool joinsRest = false; // the last argument is every remaining word
    Input input = Input::None;
    bool fileArgumentOptional = false; // Input::Text: "[FILE]", else standard input
    QStringList choices;               // the argument must be one of these
    QString requiredOption;            // e.g. "follow" for "log --follow"
    QString summary;
    // Options with a text that the command may be given, e.g. "reason" for
    // "kick NAME [--reason TEXT]"; each goes into the request's options.
    QStringList valueOptions;
};

// The fields of "accounts add", one option each (the password is input).
const QStringList &accountFieldOptions();

const QList<CommandForm> &commands();
// The longest command whose words begin `words`; `consumed` tells how many.
const CommandForm *findCommand(const QStringList &words, int *consumed);
const CommandForm *findCommand(const QString &name);

QByteArray encode(const QJsonObject &object); // one line, LF included
QJsonObject request(const QString &command, const QStringList &arguments,
                    const QString &input = QString(), const QJsonObject &options = {});
QJsonObject streamedLine(const QString &text, const QString &severity);
} // namespace ControlProtocol
