#include "operator/controlcommands.h"

#include "operator/bancommands.h"

#include "accounts/loginserver.h"
#include "accounts/usersdatabase.h"
#include "core/codepage.h"
#include "operator/controlhost.h"
#include "operator/controlprotocol.h"
#include "operator/logstream.h"
#include "operator/servercore.h"

#include <QFileInfo>

#include <QJsonArray>
#include <QPointer>
#include <QTimer>

namespace {
QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}

// Control text is the operator's; the chat's is its code page.
QByteArray chatText(const QString &text)
{
    return Codepage::fromDisplay(text);
}

ControlResult outcome(const OperatorResult &result, const QString &text = QString())
{
    return result.ok ? ControlResult::done(text) : ControlResult::failure(result.error);
}

// The program and its last upgrade, where it can be upgraded in place.
QString programStatus(ControlHost &host, QJsonObject &data)
{
    const ControlHost::Program &program = host.program();
    if (program.path.isEmpty())
        return {};
    const QDateTime upgradedAt = program.upgradedAt.toUTC();
    const QString when = upgradedAt.toString(Qt::ISODate);
    data.insert("program", program.path);
    data.insert("version", program.version);
    data.insert("upgradedAt", upgradedAt.isValid() ? QJsonValue(when) : QJsonValue());
    data.insert("upgradedFrom",
                upgradedAt.isValid() ? QJsonValue(program.upgradedFrom) : QJsonValue());
    return QStringLiteral("\nProgram: %1, version %2\nLast upgraded: %3")
        .arg(program.path, program.version,
             upgradedAt.isValid()
                 ? QStringLiteral("%1, from version %2").arg(when, program.upgradedFrom)
                 : QStringLiteral("never"));
}

void status(ControlHost &host, ControlCall &call)
{
    const ServerStatus state = host.api().status();
    const qsizetype settingsProblems = host.settings().problemCount();
    QJsonObject data{{"chatPort", state.chatPort},
                     {"loginPort", state.loginPort},
                     {"chatListening", state.chatListening},
                     {"loginListening", state.loginListening},
                     {"users", state.users},
                     {"freeSlots", state.freeSlots},
                     {"uptimeSeconds", state.uptimeSeconds},
                     {"passwordsRequired", state.passwordsRequired},
                     {"settingsProblems", int(settingsProblems)},
                     {"passwordsHashed",
                      state.passwordsHashed ? QJsonValue(*state.passwordsHashed) : QJsonValue()},
                     {"registeredUsers",
                      state.registeredUsers ? QJsonValue(*state.registeredUsers) : QJsonValue()}};
    const auto listening = [](bool value) {
        return value ? QStringLiteral("listening") : QStringLiteral("not listening");
    };
    const qint64 uptime = state.uptimeSeconds;
    const QString text =
        QStringLiteral("Chat service: TCP port %1, %2\n"
                       "Login service: TCP port %3, %4\n"
                       "Users: %5 online, %6 free slots\n"
                       "Uptime: %7:%8:%9\n"
                       "Require Passwords: %10\n"
                       "Registered users: %11\n"
                       "Stored passwords: %12")
            .arg(state.chatPort)
            .arg(listening(state.chatListening))
            .arg(state.loginPort)
            .arg(listening(state.loginListening))
            .arg(state.users)
            .arg(state.freeSlots)
            .arg(uptime / 3600)
            .arg(uptime / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(uptime % 60, 2, 10, QLatin1Char('0'))
            .arg(onOff(state.passwordsRequired))
            .arg(state.registeredUsers ? QString::number(*state.registeredUsers)
                                       : QStringLiteral("unknown"))
            .arg(!state.passwordsHashed   ? QStringLiteral("unknown")
                 : *state.passwordsHashed ? QStringLiteral("hashed")
                                          : QStringLiteral("plain: run `ctl passwords hash`"));
    const QString problems =
        settingsProblems == 0
            ? QString()
            : QStringLiteral("\nSettings file problems: %1 (see the log)").arg(settingsProblems);
    const QString program = programStatus(host, data);
    call.finish(ControlResult::done(text + program + problems, data));
}

// The text a scraper reads at /metrics; the same samples as JSON.
void metrics(ControlHost &host, ControlCall &call)
{
    const ServerMetrics &numbers = host.core().metrics();
    call.finish(ControlResult::done(QString::fromUtf8(numbers.exposition()), numbers.json()));
}

// One line per row that is not "EMPTY": index, the row as the list shows it
// (marks and state suffixes included), address.
void users(ControlHost &host, ControlCall &call)
{
    QJsonArray list;
    QStringList lines;
    for (const UserEntry &user : host.api().users()) {
        const QString row = Codepage::toDisplay(user.row);
        const QString address = QString::fromLatin1(user.address);
        list.append(QJsonObject{{"index", user.index},
                                {"row", row},
                                {"name", Codepage::toDisplay(user.name)},
                                {"address", address}});
        lines.append(QStringLiteral("%1\t%2\t%3").arg(user.index).arg(row, address));
    }
    call.finish(ControlResult::done(lines.join(QLatin1Char('\n')), {{"users", list}}));
}

const QString NoSuchUser = QStringLiteral("No one in the chat has that name!");

void ip(ControlHost &host, ControlCall &call)
{
    const std::optional<OperatorTarget> target = host.api().findUser(chatText(call.argument(0)));
    if (!target) {
        call.finish(ControlResult::failure(NoSuchUser));
        return;
    }
    const QString address = QString::fromLatin1(target->address);
    call.finish(ControlResult::done(address, {{"index", target->index}, {"address", address}}));
}

void say(ControlHost &host, ControlCall &call)
{
    host.api().say(chatText(call.argument(0)));
    call.finish(ControlResult::done());
}

void notify(ControlHost &host, ControlCall &call)
{
    host.api().announce(chatText(call.argument(0)));
    call.finish(ControlResult::done());
}

// The reason the console asks for after the name; none (as Cancel gives) by default.
QByteArray reason(const ControlCall &call)
{
    return chatText(call.option(QStringLiteral("reason")).toString());
}

void kick(ControlHost &host, ControlCall &call)
{
    call.finish(outcome(host.api().kick(chatText(call.argument(0)), reason(call))));
}

void ban(ControlHost &host, ControlCall &call)
{
    // A ban for a time is the ban list's; without one it is Ban User's.
    if (call.option(QStringLiteral("for")).isString()) {
        BanCommands::handler(QStringLiteral("ban"), host.api())(call);
        return;
    }
    call.finish(outcome(host.api().ban(chatText(call.argument(0)), reason(call))));
}

void motd(ControlHost &host, ControlCall &call)
{
    const QString text = Codepage::toDisplay(host.api().motd());
    call.finish(ControlResult::done(text, {{"motd", text}}));
}

// As the MOTD editor's OK with the input as its text: line breaks become
// CR LF, and the file's own last line break is the one the save adds.
void setMotd(ControlHost &host, ControlCall &call)
{
    QByteArray text = chatText(call.input());
    text.replace("\r\n", "\n");
    if (text.endsWith('\n'))
        text.chop(1);
    text.replace("\n", "\r\n");
    call.finish(outcome(host.api().setMotd(text)));
}

void sysops(ControlHost &host, ControlCall &call)
{
    QString error;
    const std::optional<QList<SysopEntry>> entries = host.api().sysops(&error);
    if (!entries) {
        call.finish(ControlResult::failure(error));
        return;
    }
    // Passwords stay in the file.
    QJsonArray list;
    QStringList lines;
    for (const SysopEntry &entry : *entries) {
        const QString name = Codepage::toDisplay(entry.name);
        const QString email = Codepage::toDisplay(entry.email);
        list.append(QJsonObject{{"name", name}, {"email", email}});
        lines.append(name + QLatin1Char('\t') + email);
    }
    call.finish(ControlResult::done(lines.join(QLatin1Char('\n')), {{"sysops", list}}));
}

void addSysop(ControlHost &host, ControlCall &call)
{
    const SysopEntry entry{chatText(call.argument(0)), chatText(call.argument(1)),
                           chatText(call.input())};
    call.finish(outcome(host.api().addSysop(entry)));
}

void removeSysop(ControlHost &host, ControlCall &call)
{
    call.finish(outcome(host.api().removeSysop(chatText(call.argument(0)))));
}

// The users window's count line.
void countAccounts(ControlHost &host, ControlCall &call)
{
    const std::optional<qint64> count = host.api().status().registeredUsers;
    if (!count) {
        call.finish(ControlResult::failure(QStringLiteral("The users store %1 cannot be read.")
                                               .arg(host.core().login().usersDatabasePath())));
        return;
    }
    const QByteArray line =
        *count > 0 ? UsersDatabase::countSummary(*count) : UsersDatabase::NoRecordsText;
    call.finish(ControlResult::done(Codepage::toDisplay(line), {{"count", *count}}));
}

// The users window's search: the first record with that user name, letter
// case folded. The password stays in the store.
void findAccount(ControlHost &host, ControlCall &call)
{
    const QString path = host.core().login().usersDatabasePath();
    const QString notFound = QStringLiteral("User not found");
    if (!QFileInfo::exists(path)) {
        call.finish(ControlResult::failure(notFound));
        return;
    }
    QString error;
    UsersStore &users = host.core().login().users();
    UsersDatabase *store = users.open(&error);
    const std::optional<bool> found =
        store ? store->findByName(chatText(call.argument(0))) : std::nullopt;
    const std::optional<UserRecord> record = found && *found ? store->current() : std::nullopt;
    if (!record) {
        const bool failed = store && !(found && !*found);
        call.finish(
            ControlResult::failure(!store ? error : (failed ? store->errorText() : notFound)));
        if (failed)
            users.close();
        return;
    }
    QStringList lines;
    QJsonObject fields;
    for (int column = 0; column < UserRecord::ColumnCount; ++column) {
        if (column == UserRecord::Password)
            continue;
        const QString name = QString::fromLatin1(UserRecord::ColumnNames[column]);
        const QString value = Codepage::toDisplay(record->values[column]);
        lines.append(name + QStringLiteral(": ") + value);
        fields.insert(name, value);
    }
    call.finish(ControlResult::done(lines.join(QLatin1Char('\n')), {{"account", fields}}));
}

// The users window's Add New User with the fields given as options.
void addAccount(ControlHost &host, ControlCall &call)
{
    UserRecord record;
    const QStringList &options = ControlProtocol::accountFieldOptions();
    for (int column = 0; column < UserRecord::ColumnCount; ++column) {
        const QString name = QString::fromLatin1(UserRecord::ColumnNames[column]).toLower();
        if (options.contains(name))
            record.values[column] = chatText(call.option(name).toString());
    }
    record[UserRecord::Password] = chatText(call.input());
    if (record[UserRecord::UserName].isEmpty()) {
        call.finish(ControlResult::failure(QStringLiteral("An account needs --username.")));
        return;
    }
    QString error;
    UsersStore &users = host.core().login().users();
    UsersDatabase *store = users.open(&error);
    const std::optional<QByteArray> password =
        store ? store->storedForm(record[UserRecord::Password]) : std::nullopt;
    if (password)
        record[UserRecord::Password] = *password;
    if (!password || !store->addUser(record)) {
        call.finish(ControlResult::failure(store ? store->errorText() : error));
        users.close();
        return;
    }
    call.finish(ControlResult::done());
}

// As ticking "Require Passwords": in force at once and saved.
void passwords(ControlHost &host, ControlCall &call)
{
    const bool required = call.argument(0) == QLatin1String("on");
    host.api().setPasswordsRequired(required);
    const QString saveError = host.settings().saveError();
    if (!saveError.isEmpty()) {
        call.finish(
            ControlResult::failure(QStringLiteral("Require Passwords is %1 now, but not saved: %2")
                                       .arg(onOff(required), saveError)));
        return;
    }
    call.finish(ControlResult::done(QStringLiteral("Require Passwords: %1").arg(onOff(required)),
                                    {{"passwordsRequired", required}}));
}

// Every plain password in users.mdb hashed, in one transaction on a worker
// thread with its own connection: the room is served meanwhile.
void hashPasswords(ControlHost &host, ControlCall &call)
{
    const QPointer<ControlCall> waiting(&call);
    const QString path = host.core().login().usersDatabasePath();
    host.core().passwordChecker().run([path, waiting]() -> std::function<void()> {
        QString error;
        std::optional<qint64> converted;
        if (std::unique_ptr<UsersDatabase> store = UsersDatabase::open(path, &error)) {
            converted = store->hashPasswords();
            error = store->errorText();
        }
        return [waiting, converted, error] {
            if (!waiting)
                return;
            waiting->finish(
                converted
                    ? ControlResult::done(
                          QStringLiteral("Stored passwords: hashed (%1 converted)").arg(*converted),
                          {{"converted", *converted}})
                    : ControlResult::failure(error));
        };
    });
}

void hashSysops(ControlHost &host, ControlCall &call)
{
    call.finish(outcome(host.api().hashSysops()));
}

// File > Make Server File with NAME as the answer, answered once the file is
// in place. The encoding gives way to the event loop, so the chat is served
// meanwhile and this client may leave.
void serverFile(ControlHost &host, ControlCall &call)
{
    const QPointer<ControlCall> waiting(&call);
    const QString name = call.argument(0);
    // A request refused while this one runs reports in between; the last
    // result told is this run's own.
    OperatorResult result = OperatorResult::failure(QStringLiteral("No server file was made."));
    const QMetaObject::Connection taking =
        QObject::connect(&host.api(), &OperatorApi::serverFileFinished, &call,
                         [&result](const OperatorResult &finished) { result = finished; });
    host.api().makeServerFile(name);
    QObject::disconnect(taking);
    if (!waiting)
        return;
    const QString file = name + QStringLiteral(".tkl");
    waiting->finish(
        result.ok ? ControlResult::done(QStringLiteral("The server file %1 was written.").arg(file),
                                        {{"file", file}})
                  : ControlResult::failure(result.error));
}

void reload(ControlHost &host, ControlCall &call)
{
    call.finish(outcome(host.reload()));
}

void shutdown(ControlHost &host, ControlCall &call)
{
    call.finish(ControlResult::done(QStringLiteral("The server is shutting down.")));
    // The answer leaves before the control socket closes.
    QTimer::singleShot(0, &host.api(), &OperatorApi::shutdown);
}

// The headless server puts its own in place of this.
void upgrade(ControlHost &, ControlCall &call)
{
    call.finish(ControlResult::failure(
        QStringLiteral("Only the server without a window upgrades in place; restart this one.")));
}

void followLog(ControlHost &host, ControlCall &call)
{
    // Ends when the client leaves (the call is deleted) or the socket closes.
    QObject::connect(&host.log(), &LogStream::line, &call,
                     [&call](const QString &text, LogStream::Severity severity) {
                         call.stream(text, LogStream::severityName(severity));
                     });
}
} // namespace

void registerControlCommands(ControlServer &control, ControlHost &host)
{
    using Handler = void (*)(ControlHost &, ControlCall &);
    const std::pair<const char *, Handler> table[] = {
        {"status", status},
        {"users", users},
        {"metrics", metrics},
        {"ip", ip},
        {"say", say},
        {"notify", notify},
        {"kick", kick},
        {"ban", ban},
        {"motd", motd},
        {"motd set", setMotd},
        {"sysops", sysops},
        {"sysops add", addSysop},
        {"sysops remove", removeSysop},
        {"accounts count", countAccounts},
        {"accounts find", findAccount},
        {"accounts add", addAccount},
        {"passwords", passwords},
        {"passwords hash", hashPasswords},
        {"sysops hash", hashSysops},
        {"server-file", serverFile},
        {"reload", reload},
        {"shutdown", shutdown},
        {"upgrade", upgrade},
        {"log", followLog},
    };
    // The ban list's commands first: "ban" below takes theirs over.
    BanCommands::registerOn(control, host.api());
    for (const auto &[name, handler] : table) {
        control.setHandler(QString::fromLatin1(name),
                           [&host, handler](ControlCall &call) { handler(host, call); });
    }
}
