#include "operator/controlprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ControlProtocol {

// In the order the usage text lists them.
const QList<CommandSpec> &commands()
{
    static const QList<CommandSpec> table = {
        {"status",
         "",
         0,
         false,
         Input::None,
         false,
         {},
         {},
         "ports, users and free slots, uptime, Require Passwords, registered users"},
        {"users", "", 0, false, Input::None, false, {}, {}, "index, name, address of every user"},
        {"ip", "NAME", 1, false, Input::None, false, {}, {}, "the address of a user"},
        {"say", "TEXT", 1, true, Input::None, false, {}, {}, "a line to the room, as the console"},
        {"notify", "TEXT", 1, true, Input::None, false, {}, {}, "a message box to every user"},
        {"kick", "NAME", 1, false, Input::None, false, {}, {}, "throw a user out"},
        {"ban", "NAME", 1, false, Input::None, false, {}, {}, "ban a user's address"},
        {"motd", "", 0, false, Input::None, false, {}, {}, "print the message of the day"},
        {"motd set",
         "[FILE]",
         0,
         false,
         Input::Text,
         true,
         {},
         {},
         "replace it from FILE or standard input"},
        {"sysops", "", 0, false, Input::None, false, {}, {}, "list the sysops"},
        {"sysops add",
         "NAME EMAIL",
         2,
         false,
         Input::Password,
         false,
         {},
         {},
         "add a sysop; the password is read from standard input or a prompt"},
        {"sysops remove", "EMAIL", 1, false, Input::None, false, {}, {}, "remove a sysop"},
        {"passwords",
         "on|off",
         1,
         false,
         Input::None,
         false,
         {"on", "off"},
         {},
         "Require Passwords, saved at once"},
        {"server-file",
         "NAME",
         1,
         false,
         Input::None,
         false,
         {},
         {},
         "write the server file NAME.tkl"},
        {"reload", "", 0, false, Input::None, false, {}, {}, "re-read motd.txt"},
        {"shutdown", "", 0, false, Input::None, false, {}, {}, "close every client and stop"},
        {"log",
         "",
         0,
         false,
         Input::None,
         false,
         {},
         "follow",
         "stream the console's lines until interrupted"},
    };
    return table;
}

const CommandSpec *findCommand(const QStringList &words, int *consumed)
{
    const CommandSpec *best = nullptr;
    int bestLength = 0;
    for (const CommandSpec &spec : commands()) {
        const QStringList name = spec.name.split(QLatin1Char(' '));
        if (name.size() > bestLength && words.mid(0, name.size()) == name) {
            best = &spec;
            bestLength = name.size();
        }
    }
    if (consumed)
        *consumed = bestLength;
    return best;
}

const CommandSpec *findCommand(const QString &name)
{
    for (const CommandSpec &spec : commands()) {
        if (spec.name == name)
            return &spec;
    }
    return nullptr;
}

QByteArray encode(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject request(const QString &command, const QStringList &arguments, const QString &input,
                    const QJsonObject &options)
{
    QJsonObject object{{"command", command}, {"arguments", QJsonArray::fromStringList(arguments)}};
    if (!input.isNull())
        object.insert("input", input);
    if (!options.isEmpty())
        object.insert("options", options);
    return object;
}

QJsonObject streamedLine(const QString &text, const QString &severity)
{
    return {{"line", text}, {"severity", severity}};
}

} // namespace ControlProtocol
