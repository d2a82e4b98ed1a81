#include "operator/servermetrics.h"

#include "core/banstore.h"
#include "core/connectionpool.h"
#include "operator/servercore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLocale>

#include <cmath>
#include <unistd.h>

namespace {
using Labels = QList<std::pair<QByteArray, QByteArray>>;

// Resident memory from /proc/self/statm (its second field, in pages); -1
// when it cannot be read.
double residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(::sysconf(_SC_PAGESIZE)) : -1;
}

double openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
        .size();
}

int connectedOn(const ConnectionPool &pool)
{
    int count = 0;
    for (int i = 0; i < ConnectionTable::Size; ++i)
        count += pool.isConnected(i);
    return count;
}

QByteArray number(double value)
{
    const bool whole = std::abs(value) < 1e15 && value == double(qint64(value));
    return whole ? QByteArray::number(qint64(value))
                 : QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

// Label values: backslash, double quote and line feed escaped.
QByteArray escapedLabel(const QByteArray &value)
{
    QByteArray out;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return out;
}

// Help texts: backslash and line feed escaped.
QByteArray escapedHelp(const QByteArray &text)
{
    return QByteArray(text).replace('\\', "\\\\").replace('\n', "\\n");
}
} // namespace

ServerMetrics::ServerMetrics(ServerCore &core)
    : m_core(core), m_startTime(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0)
{
}

QList<ServerMetrics::Family> ServerMetrics::families() const
{
    const ServiceCounters &counts = m_core.table().counters();
    const ConnectionTable &table = m_core.table();
    const ServerStatus status = m_core.api().status();
    int away = 0;
    int inGame = 0;
    int moderators = 0;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.isRowEmpty(i))
            continue;
        away += table.row(i).contains(ConnectionTable::AwaySuffix);
        inGame += table.row(i).contains(ConnectionTable::InGameSuffix);
        moderators += table.slot(i).operatorFlag;
    }
    int exactBans = 0;
    int rangeBans = 0;
    BanStore &banStore = m_core.chat().bans();
    banStore.refresh();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const Ban &ban : banStore.bans()) {
        if (!ban.hasExpired(now))
            ++(ban.target.contains('/') ? rangeBans : exactBans);
    }

    const auto one = [](double value) { return QList<Sample>{{{}, {}, value}}; };
    const auto counter = [](quint64 value) { return double(value); };
    using Refusal = ServiceCounters::Refusal;
    using Traffic = ServiceCounters::Traffic;
    const auto refused = [&counts](Refusal reason) {
        return double(counts.refused[std::size_t(reason)]);
    };
    const auto messages = [&counts](Traffic group) {
        return double(counts.messages[std::size_t(group)]);
    };

    QList<Family> list = {
        {"tarnwick_build_info",
         "gauge",
         "The running build; the value is always 1.",
         {{{}, {{"version", TARNWICK_VERSION}}, 1}}},
        {"tarnwick_users", "gauge", "Users in the room.", one(status.users)},
        {"tarnwick_connections",
         "gauge",
         "Open connections by service.",
         {{{}, {{"service", "chat"}}, double(connectedOn(m_core.chat().connections()))},
          {{}, {{"service", "login"}}, double(connectedOn(m_core.login().connections()))}}},
        {"tarnwick_free_slots", "gauge", "Connection slots neither service holds.",
         one(status.freeSlots)},
        {"tarnwick_users_away", "gauge", "Users marked away.", one(away)},
        {"tarnwick_users_in_game", "gauge", "Users marked in a game.", one(inGame)},
        {"tarnwick_moderators_online", "gauge", "Users with the moderator flag.", one(moderators)},
        {"tarnwick_bans",
         "gauge",
         "Bans in force by kind.",
         {{{}, {{"kind", "exact"}}, double(exactBans)},
          {{}, {{"kind", "range"}}, double(rangeBans)}}},
        {"tarnwick_passwords_required", "gauge", "Require Passwords: 1 on, 0 off.",
         one(status.passwordsRequired)},
        {"tarnwick_uptime_seconds", "gauge", "Seconds since the services started.",
         one(double(status.uptimeSeconds))},
        {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
         one(residentBytes())},
        {"process_open_fds", "gauge", "Number of open file descriptors.", one(openDescriptors())},
        {"process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.", one(m_startTime)},
        {"tarnwick_connections_accepted_total", "counter", "Connections accepted by both services.",
         one(counter(counts.accepted))},
        {"tarnwick_connections_refused_total",
         "counter",
         "Connections refused by reason.",
         {{{}, {{"reason", "limit"}}, refused(Refusal::Limit)},
          {{}, {{"reason", "new-per-minute"}}, refused(Refusal::NewPerMinute)},
          {{}, {{"reason", "banned"}}, refused(Refusal::Banned)},
          {{}, {{"reason", "full"}}, refused(Refusal::Full)}}},
        {"tarnwick_lines_received_total", "counter", "Lines received and handled.",
         one(counter(counts.linesReceived))},
        {"tarnwick_lines_sent_total", "counter", "Lines queued to clients.",
         one(counter(counts.linesSent))},
        {"tarnwick_received_bytes_total", "counter", "Bytes received from clients.",
         one(counter(counts.bytesReceived))},
        {"tarnwick_sent_bytes_total", "counter", "Bytes queued to clients.",
         one(counter(counts.bytesSent))},
        {"tarnwick_messages_relayed_total", "counter", "Public messages sent on to the room.",
         one(counter(counts.messagesRelayed))},
        {"tarnwick_messages_total",
         "counter",
         "Chat lines received by keyword group.",
         {{{}, {{"group", "public"}}, messages(Traffic::Public)},
          {{}, {{"group", "private"}}, messages(Traffic::Private)},
          {{}, {{"group", "presence"}}, messages(Traffic::Presence)},
          {{}, {{"group", "moderation"}}, messages(Traffic::Moderation)},
          {{}, {{"group", "other"}}, messages(Traffic::Other)}}},
        {"tarnwick_joins_total", "counter", "Users who joined the room.",
         one(counter(counts.joins))},
        {"tarnwick_leaves_total", "counter", "Users who left the room.",
         one(counter(counts.leaves))},
        {"tarnwick_kicks_total", "counter", "Kicks by moderators and the operator.",
         one(counter(counts.kicks))},
        {"tarnwick_bans_total", "counter", "Bans set by moderators and the operator.",
         one(counter(counts.bans))},
        {"tarnwick_flood_slowed_total", "counter", "Times a flooding connection was slowed.",
         one(counter(counts.floodSlowed))},
        {"tarnwick_login_successes_total", "counter", "Password checks passed.",
         one(counter(counts.loginSuccesses))},
        {"tarnwick_login_failures_total", "counter", "Password checks rejected.",
         one(counter(counts.loginFailures))},
        {"tarnwick_registrations_total",
         "counter",
         "Account registrations by outcome.",
         {{{}, {{"outcome", "accepted"}}, counter(counts.registrationsAccepted)},
          {{}, {{"outcome", "refused"}}, counter(counts.registrationsRefused)}}},
        {"tarnwick_control_commands_total", "counter", "Control commands handled.",
         one(counter(counts.controlCommands))},
        {"tarnwick_send_buffer_drops_total", "counter",
         "Connections dropped for output they did not read.", one(counter(counts.sendBufferDrops))},
    };
    if (status.registeredUsers)
        list.insert(9, {"tarnwick_registered_accounts", "gauge", "Registered accounts.",
                        one(double(*status.registeredUsers))});

    Family lag{"tarnwick_line_lag_seconds",
               "histogram",
               "Time from a line's arrival to the end of its handling.",
               {}};
    quint64 cumulative = 0;
    for (std::size_t i = 0; i < counts.lagBuckets.size(); ++i) {
        cumulative += counts.lagBuckets[i];
        const QByteArray bound =
            i < ServiceCounters::LagBounds.size()
                ? QByteArray::number(
                      std::chrono::duration<double>(ServiceCounters::LagBounds[i]).count(), 'f',
                      QLocale::FloatingPointShortest)
                : QByteArray("+Inf");
        lag.samples.append({"_bucket", {{"le", bound}}, double(cumulative)});
    }
    lag.samples.append({"_sum", {}, std::chrono::duration<double>(counts.lagSum).count()});
    lag.samples.append({"_count", {}, double(cumulative)});
    list.append(lag);
    return list;
}

QByteArray ServerMetrics::exposition() const
{
    QByteArray out;
    for (const Family &family : families()) {
        out += "# HELP " + family.name + ' ' + escapedHelp(family.help) + '\n';
        out += "# TYPE " + family.name + ' ' + family.type + '\n';
        for (const Sample &sample : family.samples) {
            out += family.name + sample.suffix;
            if (!sample.labels.isEmpty()) {
                QByteArrayList labels;
                for (const auto &[name, value] : sample.labels)
                    labels.append(name + "=\"" + escapedLabel(value) + '"');
                out += '{' + labels.join(',') + '}';
            }
            out += ' ' + number(sample.value) + '\n';
        }
    }
    return out;
}

QJsonObject ServerMetrics::json() const
{
    QJsonArray list;
    for (const Family &family : families()) {
        QJsonArray samples;
        for (const Sample &sample : family.samples) {
            QJsonObject labels;
            for (const auto &[name, value] : sample.labels)
                labels.insert(QString::fromLatin1(name), QString::fromLatin1(value));
            samples.append(QJsonObject{{"name", QString::fromLatin1(family.name + sample.suffix)},
                                       {"labels", labels},
                                       {"value", sample.value}});
        }
        list.append(QJsonObject{{"name", QString::fromLatin1(family.name)},
                                {"type", QString::fromLatin1(family.type)},
                                {"help", QString::fromLatin1(family.help)},
                                {"samples", samples}});
    }
    return {{"metrics", list}};
}
