#include "core/banrules.h"

#include "core/banlist.h"
#include "core/textfile.h"

#include <QDir>
#include <QSet>

#include <algorithm>

namespace {
constexpr char Unknown[] = "-";

QByteArray escaped(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '%') {
            out += '%';
            out += QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate).toLatin1() : QByteArray(Unknown);
}

// Invalid for "-"; nothing for a text that is not a time.
std::optional<QDateTime> parseTime(const QByteArray &text)
{
    if (text == Unknown)
        return QDateTime();
    const QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
    if (!time.isValid())
        return std::nullopt;
    return time.toUTC();
}

QString readWhole(const QString &path, QByteArray *content)
{
    QString error;
    if (const std::optional<QByteArray> read =
            TextFile::read(path, TextFile::Missing::ReadsAsEmpty, &error))
        *content = *read;
    return error;
}
} // namespace

BanRules::BanRules(const QString &folder)
    : m_listPath(QDir(folder).filePath(ListFile)), m_sidePath(QDir(folder).filePath(SideFile))
{
}

QByteArray BanRules::key(const QByteArray &item)
{
    const std::optional<AddressRange> range = AddressRange::parse(item);
    return range ? range->text() : item;
}

bool BanRules::load(QString *errorText)
{
    m_warnings.clear();
    m_details.clear();
    QString listError;
    m_items = BanList::readItems(m_listPath, &listError);

    QByteArray side;
    const QString sideError = readWhole(m_sidePath, &side);
    const QList<QByteArray> lines = side.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray line = lines[n];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        const std::optional<QDateTime> setAt =
            fields.size() == 5 ? parseTime(fields[1]) : QDateTime();
        const std::optional<QDateTime> expires =
            fields.size() == 5 ? parseTime(fields[2]) : QDateTime();
        if (fields.size() != 5 || !setAt || !expires) {
            m_warnings.append(QStringLiteral("%1 line %2 is not understood and is left out: that "
                                             "ban, if any, never expires")
                                  .arg(m_sidePath)
                                  .arg(n + 1));
            continue;
        }
        m_details.insert(key(QByteArray::fromPercentEncoding(fields[0])),
                         Details{*setAt, *expires, QByteArray::fromPercentEncoding(fields[3]),
                                 QByteArray::fromPercentEncoding(fields[4])});
    }
    rebuild(m_items);

    const QString error = !listError.isEmpty()   ? m_listPath + QStringLiteral(": ") + listError
                          : !sideError.isEmpty() ? m_sidePath + QStringLiteral(": ") + sideError
                                                 : QString();
    if (errorText)
        *errorText = error;
    return error.isEmpty();
}

void BanRules::rebuild(const QList<QByteArray> &items)
{
    m_items = items;
    m_bans.clear();
    for (const QByteArray &item : items) {
        Ban ban{item, AddressRange::parse(item), {}, {}, {}, {}};
        const auto details = m_details.constFind(key(item));
        if (details != m_details.cend()) {
            ban.setAt = details->setAt;
            ban.expires = details->expires;
            ban.setBy = details->setBy;
            ban.reason = details->reason;
        }
        m_bans.append(ban);
    }
}

std::optional<Ban> BanRules::match(const QByteArray &address, const QDateTime &now) const
{
    const std::optional<quint32> value = AddressRange::parseAddress(address);
    for (const Ban &ban : m_bans) {
        const bool covers =
            ban.range ? value && ban.range->contains(*value) : ban.target == address;
        if (covers && !ban.hasExpired(now))
            return ban;
    }
    return std::nullopt;
}

bool BanRules::loadForWriting(QString *errorText)
{
    QString error;
    if (load(&error))
        return true;
    if (errorText)
        *errorText = error + QStringLiteral("; the ban list is left as it is");
    return false;
}

bool BanRules::saveListWithout(const std::function<bool(const QByteArray &)> &lifted,
                               QString *errorText)
{
    // Read again under the file's lock: what a host appended since the load stays.
    QList<QByteArray> kept;
    const auto change = [&](const QByteArray &content) -> std::optional<QByteArray> {
        kept.clear();
        for (const QByteArray &item : BanList::parseItems(content)) {
            if (!lifted(item))
                kept.append(item);
        }
        return BanList::formatItems(kept);
    };
    QString error;
    if (!TextFile::rewrite(m_listPath, change, &error)) {
        if (errorText)
            *errorText = m_listPath + QStringLiteral(": ") + error;
        return false;
    }
    rebuild(kept);
    return true;
}

bool BanRules::saveDetails(QString *errorText)
{
    QByteArray content = "# target\tset-at\texpires\tset-by\treason (see ban.txt)\n";
    QSet<QByteArray> written;
    for (const QByteArray &item : std::as_const(m_items)) {
        const QByteArray itemKey = key(item);
        const auto details = m_details.constFind(itemKey);
        if (details == m_details.cend() || written.contains(itemKey))
            continue;
        written.insert(itemKey);
        content += escaped(itemKey) + '\t' + timeText(details->setAt) + '\t' +
                   timeText(details->expires) + '\t' + escaped(details->setBy) + '\t' +
                   escaped(details->reason) + '\n';
    }
    QString error;
    if (TextFile::replace(m_sidePath, content, TextFile::ReadOnlyFolder::Fails, &error))
        return true;
    if (errorText)
        *errorText = m_sidePath + QStringLiteral(": ") + error;
    return false;
}

bool BanRules::add(const Request &request, const QDateTime &now, QString *errorText)
{
    QString why;
    const std::optional<AddressRange> range = AddressRange::parse(request.target, &why);
    if (!range) {
        if (errorText)
            *errorText = why;
        return false;
    }
    if (!loadForWriting(errorText))
        return false;
    const QByteArray target = range->text();
    const bool listed = std::any_of(m_items.cbegin(), m_items.cend(),
                                    [&](const QByteArray &item) { return key(item) == target; });
    if (!listed)
        m_items.append(target);
    const QDateTime setAt = now.toUTC();
    const QDateTime expires =
        request.duration ? setAt.addSecs(request.duration->count()) : QDateTime();
    m_details.insert(target, Details{setAt, expires, request.setBy, request.reason});
    // The side line first: without its ban.txt line it means nothing, so a
    // failure of either write leaves no ban half made.
    if (!saveDetails(errorText)) {
        load();
        return false;
    }
    if (!listed) {
        // Appended, as every writer of ban.txt always has: nothing else in it moves.
        QString error;
        if (!BanList::append(m_listPath, target, &error)) {
            if (errorText)
                *errorText = m_listPath + QStringLiteral(": ") + error;
            load();
            return false;
        }
    }
    rebuild(m_items);
    return true;
}

bool BanRules::remove(const QByteArray &target, QString *errorText)
{
    if (!loadForWriting(errorText))
        return false;
    const QByteArray wanted = key(target);
    const auto isTarget = [&](const QByteArray &item) { return key(item) == wanted; };
    if (std::none_of(m_items.cbegin(), m_items.cend(), isTarget)) {
        if (errorText)
            *errorText = QStringLiteral("\"%1\" is not in the ban list")
                             .arg(QString::fromLatin1(target.left(64)));
        return false;
    }
    // ban.txt first: once it is written the ban is lifted whatever the side file does.
    return saveListWithout(isTarget, errorText) && saveDetails(errorText);
}

QList<Ban> BanRules::removeExpired(const QDateTime &now, QString *errorText)
{
    if (!loadForWriting(errorText))
        return {};
    QList<Ban> expired;
    QSet<QByteArray> targets;
    for (const Ban &ban : std::as_const(m_bans)) {
        if (ban.hasExpired(now)) {
            expired.append(ban);
            targets.insert(ban.target);
        }
    }
    if (expired.isEmpty())
        return {};
    if (!saveListWithout([&](const QByteArray &item) { return targets.contains(item); }, errorText))
        return {};
    saveDetails(errorText);
    return expired;
}

std::optional<std::chrono::seconds> BanRules::parseDuration(QByteArrayView text, QString *errorText)
{
    const auto fail = [&](const QString &reason) -> std::optional<std::chrono::seconds> {
        if (errorText)
            *errorText =
                QStringLiteral("\"%1\" %2")
                    .arg(QString::fromLatin1(text.first(std::min<qsizetype>(text.size(), 32))),
                         reason);
        return std::nullopt;
    };
    static const QString form = QStringLiteral(
        "is not a duration: a whole number followed by s, m, h or d (90s, 30m, 2h, 7d)");
    if (text.size() < 2 || text.size() > 12)
        return fail(form);
    const QByteArrayView digits = text.chopped(1);
    qint64 number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return fail(form);
        number = number * 10 + (c - '0');
    }
    qint64 unit = 0;
    switch (text.back()) {
    case 's':
        unit = 1;
        break;
    case 'm':
        unit = 60;
        break;
    case 'h':
        unit = 3600;
        break;
    case 'd':
        unit = 86400;
        break;
    default:
        return fail(form);
    }
    if (number == 0)
        return fail(QStringLiteral("is no time at all; leave the duration out for a ban that "
                                   "never expires"));
    const std::chrono::seconds duration{number * unit};
    if (duration > LongestDuration)
        return fail(QStringLiteral("is longer than %1d; leave the duration out for a ban that "
                                   "never expires")
                        .arg(LongestDuration.count()));
    return duration;
}

QByteArray BanRules::durationText(std::chrono::seconds duration)
{
    const qint64 seconds = duration.count();
    if (seconds != 0 && seconds % 86400 == 0)
        return QByteArray::number(seconds / 86400) + 'd';
    if (seconds != 0 && seconds % 3600 == 0)
        return QByteArray::number(seconds / 3600) + 'h';
    if (seconds != 0 && seconds % 60 == 0)
        return QByteArray::number(seconds / 60) + 'm';
    return QByteArray::number(seconds) + 's';
}
