#include "core/serversettings.h"

#include "core/banrules.h"

#include <limits>

namespace {
using Reader = SettingsFile::Reader;

Reader flag(bool &target)
{
    return [&target](const QByteArray &value) -> QStringList {
        const QByteArray word = value.toLower();
        if (word == "true" || word == "false") {
            target = word == "true";
            return {};
        }
        return {QStringLiteral("%1 is not true or false; %2 applies")
                    .arg(SettingsFile::quoted(value),
                         target ? QStringLiteral("true") : QStringLiteral("false"))};
    };
}

template <typename Number> Reader count(Number &target)
{
    return [&target](const QByteArray &value) -> QStringList {
        constexpr qint64 Largest = std::numeric_limits<Number>::max();
        bool digitsOnly = !value.isEmpty();
        for (const char c : value)
            digitsOnly = digitsOnly && c >= '0' && c <= '9';
        bool ok = false;
        const qint64 number = digitsOnly ? value.toLongLong(&ok) : -1;
        if (ok && number <= Largest) {
            target = Number(number);
            return {};
        }
        return {QStringLiteral("%1 is not a whole number from 0 to %2; %3 applies")
                    .arg(SettingsFile::quoted(value), QString::number(Largest),
                         QString::number(target))};
    };
}

// A range that is not understood is left out; the others count.
Reader addressList(QList<AddressRange> &target)
{
    return [&target](const QByteArray &value) -> QStringList {
        QStringList problems;
        target.clear();
        for (const QByteArray &item : QByteArray(value).replace(',', ' ').simplified().split(' ')) {
            if (item.isEmpty())
                continue;
            QString why;
            if (const std::optional<AddressRange> range = AddressRange::parse(item, &why))
                target.append(*range);
            else
                problems.append(why + QStringLiteral("; left out of the list"));
        }
        return problems;
    };
}

Reader banDuration(std::chrono::seconds &target)
{
    return [&target](const QByteArray &value) -> QStringList {
        if (value.isEmpty() || value == "0") {
            target = std::chrono::seconds{0};
            return {};
        }
        QString why;
        const std::optional<std::chrono::seconds> duration = BanRules::parseDuration(value, &why);
        if (!duration)
            return {why + QStringLiteral("; moderators' bans never expire")};
        target = *duration;
        return {};
    };
}
// "127.0.0.1:9469" or "[::1]:9469"; empty: no endpoint.
Reader listenAddress(MetricsSettings &target)
{
    return [&target](const QByteArray &value) -> QStringList {
        target.address.clear();
        if (value.isEmpty())
            return {};
        const qsizetype colon = value.lastIndexOf(':');
        QByteArray host = colon > 0 ? value.first(colon) : QByteArray();
        if (host.startsWith('[') && host.endsWith(']'))
            host = host.sliced(1, host.size() - 2);
        bool ok = false;
        const uint port = colon > 0 ? value.sliced(colon + 1).toUInt(&ok) : 0;
        const QHostAddress address(QString::fromLatin1(host));
        if (!ok || port > 65535 || address.isNull())
            return {QStringLiteral("%1 is not ADDRESS:PORT; the metrics endpoint stays off")
                        .arg(SettingsFile::quoted(value))};
        target.address = address;
        target.port = quint16(port);
        return {};
    };
}
} // namespace

QList<SettingsFile::Key> ServerSettings::schema(Values &values)
{
    AbuseLimits &limits = values.limits;
    return {
        {"passwords", "required", flag(values.passwordsRequired)},
        {"limits", "connectionsPerAddress", count(limits.connectionsPerAddress)},
        {"limits", "newConnectionsPerMinute", count(limits.newConnectionsPerMinute)},
        {"limits", "joinSeconds", count(limits.joinSeconds)},
        {"limits", "floodBurst", count(limits.floodBurst)},
        {"limits", "floodLinesPerSecond", count(limits.floodLinesPerSecond)},
        {"limits", "floodSecondsAfterClose", count(limits.floodSecondsAfterClose)},
        {"limits", "loginFailuresBeforeDelay", count(limits.loginFailuresBeforeDelay)},
        {"limits", "newUsersPer10Minutes", count(limits.newUsersPer10Minutes)},
        {"limits", "trustedAddresses", addressList(limits.trustedAddresses)},
        {"limits", "moderatorBanDuration", banDuration(limits.moderatorBanDuration)},
        {"limits", "recordFileBytes", count(limits.recordFileBytes)},
        {"limits", "recordFiles", count(limits.recordFiles)},
        {"limits", "leaveGraceSeconds", count(limits.leaveGraceSeconds)},
        {"log", "rotateBytes", count(values.log.rotateBytes)},
        {"log", "keep", count(values.log.keep)},
        {"metrics", "listen", listenAddress(values.metrics)},
        {"metrics", "allowRemote", flag(values.metrics.allowRemote)},
    };
}

QList<std::pair<QString, QString>> ServerSettings::valueTexts() const
{
    const AbuseLimits &limits = m_values.limits;
    QStringList trusted;
    for (const AddressRange &range : limits.trustedAddresses)
        trusted.append(QString::fromLatin1(range.text()));
    const auto number = [](qint64 value) { return QString::number(value); };
    const qint64 banSeconds = limits.moderatorBanDuration.count();
    return {
        {"passwords/required", m_values.passwordsRequired ? "true" : "false"},
        {"limits/connectionsPerAddress", number(limits.connectionsPerAddress)},
        {"limits/newConnectionsPerMinute", number(limits.newConnectionsPerMinute)},
        {"limits/floodBurst", number(limits.floodBurst)},
        {"limits/floodLinesPerSecond", number(limits.floodLinesPerSecond)},
        {"limits/floodSecondsAfterClose", number(limits.floodSecondsAfterClose)},
        {"limits/loginFailuresBeforeDelay", number(limits.loginFailuresBeforeDelay)},
        {"limits/newUsersPer10Minutes", number(limits.newUsersPer10Minutes)},
        {"limits/trustedAddresses", trusted.join(QStringLiteral(", "))},
        {"limits/moderatorBanDuration",
         banSeconds == 0
             ? QStringLiteral("0")
             : QString::fromLatin1(BanRules::durationText(limits.moderatorBanDuration))},
        {"limits/recordFileBytes", number(limits.recordFileBytes)},
        {"limits/recordFiles", number(limits.recordFiles)},
        {"limits/leaveGraceSeconds", number(limits.leaveGraceSeconds)},
        {"log/rotateBytes", number(m_values.log.rotateBytes)},
        {"log/keep", number(m_values.log.keep)},
        {"metrics/listen", metricsAddress()},
        {"metrics/allowRemote", m_values.metrics.allowRemote ? "true" : "false"},
    };
}

QString ServerSettings::metricsAddress() const
{
    const MetricsSettings &metrics = m_values.metrics;
    if (metrics.address.isNull())
        return {};
    const QString host = metrics.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + metrics.address.toString() + QLatin1Char(']')
                             : metrics.address.toString();
    return host + QLatin1Char(':') + QString::number(metrics.port);
}

bool ServerSettings::load()
{
    Values values;
    SettingsFile file(schema(values));
    m_problems.clear();
    m_readError.clear();
    QString why;
    if (!file.read(m_path, &why)) {
        m_values = Values();
        m_readError = QStringLiteral("The settings file %1 cannot be read (%2); the defaults "
                                     "apply, and it is not written while it cannot be read.")
                          .arg(m_path, why);
        return false;
    }
    m_values = values;
    for (const SettingsFile::Problem &problem : file.problems()) {
        m_problems.append(QStringLiteral("The settings file %1, line %2: %3")
                              .arg(m_path, QString::number(problem.line), problem.text));
    }
    return true;
}

bool ServerSettings::setPasswordsRequired(bool required, QString *errorText)
{
    m_values.passwordsRequired = required;
    return save("passwords", "required", required ? "true" : "false", errorText);
}

bool ServerSettings::save(const QByteArray &section, const QByteArray &name,
                          const QByteArray &value, QString *errorText)
{
    // What the file holds now, hand edits since the start included; only
    // its bytes matter here.
    Values current;
    SettingsFile file(schema(current));
    QString why;
    if (!file.read(m_path, &why)) {
        m_saveError = QStringLiteral("The settings file %1 cannot be read (%2), so it was not "
                                     "written.")
                          .arg(m_path, why);
    } else {
        const QByteArray before = file.bytes();
        file.setValue(section, name, value);
        if (file.bytes() == before || file.write(m_path, &why)) {
            m_saveError.clear();
            return true;
        }
        m_saveError =
            QStringLiteral("The settings file %1 could not be written: %2").arg(m_path, why);
    }
    if (errorText)
        *errorText = m_saveError;
    return false;
}
