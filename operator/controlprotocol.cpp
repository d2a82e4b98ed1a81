#include "operator/controlprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ControlProtocol {

const QStringList &accountFieldOptions()
{
    static const QStringList options = {
        "username", "first",   "last",     "address1",   "address2", "city",        "state",
        "zip",      "country", "provider", "connection", "email",    "mailinglist", "emailme"};
    return options;
}

// In the order the usage text lists them. One row per command: words,
// arguments' help, count, last joins the rest, input, file optional,
// choices, required option, summary, optional value option.
const QList<CommandForm> &commands()
{
    using enum Input;
    // clang-format off
    static const QList<CommandForm> table = {
        {"status", "", 0, false, None, false, {}, {},
         "ports, users and free slots, uptime, Require Passwords, registered users, "
         "stored passwords", {}},
        {"users", "", 0, false, None, false, {}, {}, "index, row and address of every user", {}},
        {"metrics", "", 0, false, None, false, {}, {},
         "the server's numbers in the Prometheus text format", {}},
        {"ip", "NAME", 1, false, None, false, {}, {}, "the address of a user", {}},
        {"say", "TEXT", 1, true, None, false, {}, {}, "a line to the room, as the console", {}},
        {"notify", "TEXT", 1, true, None, false, {}, {}, "a message box to every user", {}},
        {"kick", "NAME", 1, false, None, false, {}, {}, "kick a user, as Kick User", {"reason"}},
        {"ban", "NAME", 1, false, None, false, {}, {}, "ban a user's address, as Ban User",
         {"reason", "for"}},
        {"bans", "", 0, false, None, false, {}, {},
         "list the bans: address or range, reason, set by, set at, expires", {}},
        {"ban-address", "ADDRESS|RANGE", 1, false, None, false, {}, {},
         "ban an address or a range (10.1.0.0/16)", {"reason", "for"}},
        {"unban", "ADDRESS|RANGE", 1, false, None, false, {}, {}, "lift a ban", {}},
        {"motd", "", 0, false, None, false, {}, {}, "print the message of the day", {}},
        {"motd set", "[FILE]", 0, false, Text, true, {}, {},
         "replace it from FILE or standard input", {}},
        {"sysops", "", 0, false, None, false, {}, {}, "list the sysops", {}},
        {"sysops add", "NAME EMAIL", 2, false, Password, false, {}, {},
         "add a sysop; the password is read from standard input or a prompt", {}},
        {"sysops remove", "EMAIL", 1, false, None, false, {}, {}, "remove a sysop", {}},
        {"sysops hash", "", 0, false, None, false, {}, {},
         "store every sysop password as a hash", {}},
        {"accounts count", "", 0, false, None, false, {}, {}, "the number of registered users", {}},
        {"accounts find", "NAME", 1, false, None, false, {}, {},
         "show a registered user (not the password)", {}},
        {"accounts add", "", 0, false, Password, false, {}, {},
         "register a user; the password as for sysops add",
         accountFieldOptions()},
        {"passwords", "on|off", 1, false, None, false, {"on", "off"}, {},
         "Require Passwords, saved at once", {}},
        {"passwords hash", "", 0, false, None, false, {}, {},
         "convert every password in users.mdb to a hash", {}},
        {"server-file", "NAME", 1, false, None, false, {}, {}, "write the server file NAME.tkl", {}},
        {"reload", "", 0, false, None, false, {}, {}, "re-read the settings, bans and motd.txt", {}},
        {"shutdown", "", 0, false, None, false, {}, {}, "close every client and stop", {}},
        {"upgrade", "", 0, false, None, false, {}, {},
         "re-execute the server's program from disk, every connection kept", {}},
        {"log", "", 0, false, None, false, {}, "follow",
         "stream the console's lines until interrupted", {}},
    };
    // clang-format on
    return table;
}

const CommandForm *findCommand(const QStringList &words, int *consumed)
{
    const CommandForm *best = nullptr;
    int bestLength = 0;
    for (const CommandForm &form : commands()) {
        const QStringList name = form.name.split(QLatin1Char(' '));
        if (name.size() > bestLength && words.mid(0, name.size()) == name) {
            best = &form;
            bestLength = name.size();
        }
    }
    if (consumed)
        *consumed = bestLength;
    return best;
}

const CommandForm *findCommand(const QString &name)
{
    for (const CommandForm &form : commands()) {
        if (form.name == name)
            return &form;
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
