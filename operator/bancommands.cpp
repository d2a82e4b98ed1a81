#include "operator/bancommands.h"

#include "core/codepage.h"

#include "operator/operatorapi.h"

#include <QJsonArray>

namespace {
using ControlProtocol::CommandForm;
using ControlProtocol::Input;
using Seconds = std::chrono::seconds;

QString timeText(const QDateTime &time, const char *unknown)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString::fromLatin1(unknown);
}

// --for, when given; false (the call answered) when it is not a duration.
bool readDuration(ControlCall &call, std::optional<Seconds> *duration)
{
    const QJsonValue value = call.option(QStringLiteral("for"));
    if (value.isUndefined() || value.isNull())
        return true;
    QString error;
    *duration = BanRules::parseDuration(value.toString().toLatin1(), &error);
    if (!*duration)
        call.finish(ControlResult::failure(error));
    return duration->has_value();
}

QByteArray reasonOf(const ControlCall &call)
{
    return Codepage::fromDisplay(call.option(QStringLiteral("reason")).toString());
}

void finishWith(ControlCall &call, const OperatorResult &result, const QString &done)
{
    call.finish(result.ok ? ControlResult::done(done) : ControlResult::failure(result.error));
}

void listBans(OperatorApi &api, ControlCall &call)
{
    QString error;
    const std::optional<QList<Ban>> bans = api.bans(&error);
    if (!bans) {
        call.finish(ControlResult::failure(error));
        return;
    }
    QStringList lines;
    QJsonArray list;
    for (const Ban &ban : *bans) {
        const QString target = QString::fromLatin1(ban.target);
        const QString reason = QString::fromLatin1(ban.reason);
        const QString setBy = QString::fromLatin1(ban.setBy);
        lines.append(QStringList{target, reason.isEmpty() ? QStringLiteral("-") : reason,
                                 setBy.isEmpty() ? QStringLiteral("-") : setBy,
                                 timeText(ban.setAt, "-"), timeText(ban.expires, "never")}
                         .join(QLatin1Char('\t')));
        list.append(QJsonObject{{"target", target},
                                {"reason", reason},
                                {"setBy", setBy},
                                {"setAt", timeText(ban.setAt, "")},
                                {"expires", timeText(ban.expires, "")}});
    }
    call.finish(ControlResult::done(lines.join(QLatin1Char('\n')), {{"bans", list}}));
}

void banAddress(OperatorApi &api, ControlCall &call)
{
    std::optional<Seconds> duration;
    if (!readDuration(call, &duration))
        return;
    const QByteArray target = call.argument(0).toLatin1();
    finishWith(call, api.banAddress(target, duration, reasonOf(call)),
               QStringLiteral("%1 is banned.").arg(call.argument(0)));
}

void unban(OperatorApi &api, ControlCall &call)
{
    finishWith(call, api.unban(call.argument(0).toLatin1()),
               QStringLiteral("%1 is no longer banned.").arg(call.argument(0)));
}

void banUser(OperatorApi &api, ControlCall &call)
{
    std::optional<Seconds> duration;
    if (!readDuration(call, &duration))
        return;
    finishWith(call, api.ban(Codepage::fromDisplay(call.argument(0)), reasonOf(call), duration),
               QStringLiteral("%1 is banned.").arg(call.argument(0)));
}

using Handler = void (*)(OperatorApi &, ControlCall &);
const std::pair<const char *, Handler> Handlers[] = {
    {"bans", listBans},
    {"ban-address", banAddress},
    {"unban", unban},
    {"ban", banUser},
};
} // namespace

ControlHandler BanCommands::handler(const QString &command, OperatorApi &api)
{
    for (const auto &[name, handler] : Handlers) {
        if (command == QLatin1String(name))
            return [&api, handler](ControlCall &call) { handler(api, call); };
    }
    return {};
}

void BanCommands::registerOn(ControlServer &control, OperatorApi &api)
{
    for (const auto &[name, unused] : Handlers) {
        Q_UNUSED(unused);
        control.setHandler(QString::fromLatin1(name), handler(QString::fromLatin1(name), api));
    }
}
