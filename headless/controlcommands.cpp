#include "headless/controlcommands.h"

#include "accounts/usersdatabase.h"
#include "core/codepage.h"
#include "headless/headlessserver.h"
#include "operator/controlserver.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTimer>

#include <optional>

namespace {
QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}

std::optional<qint64> registeredUsers(HeadlessServer &server)
{
    const QString path = server.login().usersDatabasePath();
    if (!QFileInfo::exists(path))
        return 0;
    QString error;
    const auto store = UsersDatabase::open(path, &error);
    return store ? store->count() : std::nullopt;
}

// Whole names, ignoring case; a client that has not joined yet has the empty name.
int findConnectedByName(HeadlessServer &server, const QString &name)
{
    const QByteArray wanted = Codepage::fromDisplay(name);
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (server.chat().isConnected(i) &&
            Codepage::equalsIgnoringCase(server.table().slot(i).name, wanted))
            return i;
    }
    return -1;
}

void status(HeadlessServer &server, ControlCall &call)
{
    ConnectionTable &table = server.table();
    int users = 0;
    int freeSlots = 0;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        users += table.isRowEmpty(i) ? 0 : 1;
        freeSlots += table.slot(i).free ? 1 : 0;
    }
    const std::optional<qint64> registered = registeredUsers(server);
    const bool passwords = server.login().passwordsRequired();
    const qint64 uptime = server.uptimeSeconds();
    const QJsonObject data{
        {"chatPort", server.chat().port()},
        {"loginPort", server.login().port()},
        {"chatListening", server.isChatListening()},
        {"loginListening", server.isLoginListening()},
        {"users", users},
        {"freeSlots", freeSlots},
        {"uptimeSeconds", uptime},
        {"passwordsRequired", passwords},
        {"registeredUsers", registered ? QJsonValue(*registered) : QJsonValue()}};
    const auto listening = [](bool value) {
        return value ? QStringLiteral("listening") : QStringLiteral("not listening");
    };
    const QString text =
        QStringLiteral("Chat service: TCP port %1, %2\n"
                       "Login service: TCP port %3, %4\n"
                       "Users: %5 online, %6 free slots\n"
                       "Uptime: %7:%8:%9\n"
                       "Require Passwords: %10\n"
                       "Registered users: %11")
            .arg(server.chat().port())
            .arg(listening(server.isChatListening()))
            .arg(server.login().port())
            .arg(listening(server.isLoginListening()))
            .arg(users)
            .arg(freeSlots)
            .arg(uptime / 3600)
            .arg(uptime / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(uptime % 60, 2, 10, QLatin1Char('0'))
            .arg(onOff(passwords))
            .arg(registered ? QString::number(*registered) : QStringLiteral("unknown"));
    call.finish(ControlResult::done(text, data));
}

void users(HeadlessServer &server, ControlCall &call)
{
    QJsonArray list;
    QStringList lines;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (server.table().isRowEmpty(i))
            continue;
        const QString name = Codepage::toDisplay(server.table().row(i));
        const QString address = QString::fromLatin1(server.chat().remoteAddress(i));
        const bool moderator = server.table().slot(i).operatorFlag;
        list.append(QJsonObject{
            {"index", i}, {"name", name}, {"address", address}, {"moderator", moderator}});
        lines.append(QStringLiteral("%1\t%2\t%3%4")
                         .arg(i)
                         .arg(name, address, moderator ? QStringLiteral("\tsysop") : QString()));
    }
    call.finish(ControlResult::done(lines.join(QLatin1Char('\n')), {{"users", list}}));
}

void ip(HeadlessServer &server, ControlCall &call)
{
    const int index = findConnectedByName(server, call.argument(0));
    if (index < 0) {
        call.finish(ControlResult::failure(QStringLiteral("No one in the chat has that name!")));
        return;
    }
    const QString address = QString::fromLatin1(server.chat().remoteAddress(index));
    call.finish(ControlResult::done(address, {{"index", index}, {"address", address}}));
}

// The console's input line.
void say(HeadlessServer &server, ControlCall &call)
{
    server.chat().broadcastMessage("Server: " + Codepage::fromDisplay(call.argument(0)));
    call.finish(ControlResult::done());
}

void motd(HeadlessServer &server, ControlCall &call)
{
    const QString text = Codepage::toDisplay(server.chat().motd());
    call.finish(ControlResult::done(text, {{"motd", text}}));
}

void passwords(HeadlessServer &server, ControlCall &call)
{
    const bool required = call.argument(0) == QLatin1String("on");
    server.login().setPasswordsRequired(required);
    QString error;
    if (!server.settings().setPasswordsRequired(required, &error)) {
        call.finish(ControlResult::failure(
            QStringLiteral("Require Passwords is %1 until the server stops. %2")
                .arg(onOff(required), error)));
        return;
    }
    server.log().notice(QStringLiteral("Require Passwords: %1").arg(onOff(required)),
                        LogStream::Severity::Info);
    call.finish(ControlResult::done(QStringLiteral("Require Passwords: %1").arg(onOff(required)),
                                    {{"passwordsRequired", required}}));
}

void reload(HeadlessServer &server, ControlCall &call)
{
    QString error;
    call.finish(server.reload(&error) ? ControlResult::done() : ControlResult::failure(error));
}

void shutdown(HeadlessServer &server, ControlCall &call)
{
    call.finish(ControlResult::done(QStringLiteral("The server is shutting down.")));
    // The answer leaves before the control socket closes.
    QTimer::singleShot(0, &server, &HeadlessServer::shutdown);
}

void followLog(HeadlessServer &server, ControlCall &call)
{
    // Ends when the client leaves (the call is deleted) or the server stops.
    QObject::connect(&server.log(), &LogStream::line, &call,
                     [&call](const QString &text, LogStream::Severity severity) {
                         call.stream(text, LogStream::severityName(severity));
                     });
}

void notAvailable(HeadlessServer &, ControlCall &call)
{
    call.finish(ControlResult::failure(
        QStringLiteral("\"%1\" is not available in headless mode yet.").arg(call.command())));
}
} // namespace

void registerControlCommands(ControlServer &control, HeadlessServer &server)
{
    using Handler = void (*)(HeadlessServer &, ControlCall &);
    const std::pair<const char *, Handler> table[] = {
        {"status", status},
        {"users", users},
        {"ip", ip},
        {"say", say},
        {"notify", notAvailable},
        {"kick", notAvailable},
        {"ban", notAvailable},
        {"motd", motd},
        {"motd set", notAvailable},
        {"sysops", notAvailable},
        {"sysops add", notAvailable},
        {"sysops remove", notAvailable},
        {"passwords", passwords},
        {"server-file", notAvailable},
        {"reload", reload},
        {"shutdown", shutdown},
        {"log", followLog},
    };
    for (const auto &[name, handler] : table) {
        control.setHandler(QString::fromLatin1(name),
                           [&server, handler](ControlCall &call) { handler(server, call); });
    }
}
