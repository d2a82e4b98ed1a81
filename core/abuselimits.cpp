#include "core/abuselimits.h"

#include "core/banrules.h"

#include <QRegularExpression>
#include <QSettings>

namespace {
void report(QStringList *problems, const QString &problem)
{
    if (problems)
        problems->append(problem);
}

void readCount(const QSettings &settings, const char *name, int &count, QStringList *problems)
{
    const QString key = QLatin1String("limits/") + QLatin1String(name);
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return;
    const QString text = value.toString().trimmed();
    bool ok = false;
    const int read = text.toInt(&ok);
    if (ok && read >= 0) {
        count = read;
        return;
    }
    report(problems,
           QStringLiteral("%1: \"%2\" is not a whole number of 0 or more; using %3 instead")
               .arg(key, text)
               .arg(count));
}

QStringList listItems(const QVariant &value)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    QStringList items;
    for (const QString &part : value.toStringList())
        items += part.split(separators, Qt::SkipEmptyParts);
    return items;
}

void readTrusted(const QSettings &settings, QList<AddressRange> &trusted, QStringList *problems)
{
    const QString key = QStringLiteral("limits/trustedAddresses");
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return;
    trusted.clear();
    for (const QString &item : listItems(value)) {
        QString why;
        if (const std::optional<AddressRange> range = AddressRange::parse(item.toLatin1(), &why))
            trusted.append(*range);
        else
            report(problems, QStringLiteral("%1: %2; left out of the list").arg(key, why));
    }
}

void readBanDuration(const QSettings &settings, std::chrono::seconds &duration,
                     QStringList *problems)
{
    const QString key = QStringLiteral("limits/moderatorBanDuration");
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return;
    const QByteArray text = value.toString().trimmed().toLatin1();
    if (text.isEmpty() || text == "0") {
        duration = std::chrono::seconds{0};
        return;
    }
    QString why;
    if (const std::optional<std::chrono::seconds> read = BanRules::parseDuration(text, &why))
        duration = *read;
    else
        report(problems, QStringLiteral("%1: %2; moderators' bans never expire").arg(key, why));
}
} // namespace

AbuseLimits AbuseLimits::fromSettings(const QSettings &settings, QStringList *problems)
{
    AbuseLimits limits;
    readCount(settings, "connectionsPerAddress", limits.connectionsPerAddress, problems);
    readCount(settings, "newConnectionsPerMinute", limits.newConnectionsPerMinute, problems);
    readCount(settings, "floodBurst", limits.floodBurst, problems);
    readCount(settings, "floodLinesPerSecond", limits.floodLinesPerSecond, problems);
    readCount(settings, "floodSecondsAfterClose", limits.floodSecondsAfterClose, problems);
    readCount(settings, "loginFailuresBeforeDelay", limits.loginFailuresBeforeDelay, problems);
    readCount(settings, "newUsersPer10Minutes", limits.newUsersPer10Minutes, problems);
    readTrusted(settings, limits.trustedAddresses, problems);
    readBanDuration(settings, limits.moderatorBanDuration, problems);
    return limits;
}
