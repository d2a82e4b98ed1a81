#pragma once

#include "core/abuselimits.h"
#include "core/loglimits.h"
#include "core/settingsfile.h"
#include "platform/ownedfiles.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <utility>

// The operator's settings, kept in tarnwick-server.ini in the data folder. A
// missing file or key means the default, so a fresh install behaves as one
// that never saved anything. A line that means nothing or holds a value that
// is not understood is a problem told with its line number; the default
// applies in its place and the rest of the file still counts. The program
// writes the file only to change a setting, and then only that setting's line.
//
//   [passwords]  required               true or false
//   [limits]     connectionsPerAddress, newConnectionsPerMinute, joinSeconds, floodBurst,
//                floodLinesPerSecond, floodSecondsAfterClose,
//                loginFailuresBeforeDelay, newUsersPer10Minutes,
//                recordFileBytes, recordFiles, leaveGraceSeconds
//                                        whole numbers of 0 or more
//                trustedAddresses       addresses and ranges, by commas or blanks
//                moderatorBanDuration   0 (never) or 90s, 30m, 2h, 7d
//   [log]        rotateBytes, keep      whole numbers of 0 or more
//   [metrics]    listen                 ADDRESS:PORT (IPv4, or [IPv6]) of the
//                                        monitoring endpoint; empty: none
//                allowRemote            true or false: listen may name an
//                                        address that is not loopback
//
// The defaults are those of AbuseLimits and LogLimits.
// Where the monitoring endpoint listens; a null address: it does not.
struct MetricsSettings
{
    QHostAddress address;
    quint16 port = 0;
    bool allowRemote = false;
    bool operator==(const MetricsSettings &) const = default;
};

class ServerSettings
{
public:
    static inline const QString FileName = OwnedFiles::Settings;

    explicit ServerSettings(const QString &path) : m_path(path) {}

    const QString &path() const { return m_path; }

    // Reads the file again. False when it exists but cannot be read:
    // readError() says why, and every default applies.
    bool load();
    const QString &readError() const { return m_readError; }
    // One text per line that was not understood: the path, the line number,
    // what is wrong and what applies instead.
    const QStringList &problems() const { return m_problems; }
    // The file that cannot be read counts as one.
    qsizetype problemCount() const { return m_problems.size() + (m_readError.isEmpty() ? 0 : 1); }

    bool passwordsRequired() const { return m_values.passwordsRequired; }
    const AbuseLimits &limits() const { return m_values.limits; }
    const LogLimits &logLimits() const { return m_values.log; }
    const MetricsSettings &metrics() const { return m_values.metrics; }
    // Every setting as "section/key" and its value's text, in one fixed
    // order, so that two reads can be compared key by key.
    QList<std::pair<QString, QString>> valueTexts() const;

    // Changes the setting and saves it at once: the file is read again and
    // only this setting's line changes. The new value is kept even when it
    // cannot be saved; errorText then says why. A file that cannot be read is
    // never written.
    bool setPasswordsRequired(bool required, QString *errorText = nullptr);
    // Why the last save failed; empty when it succeeded or none was made.
    const QString &saveError() const { return m_saveError; }

private:
    struct Values
    {
        bool passwordsRequired = false;
        AbuseLimits limits;
        LogLimits log;
        MetricsSettings metrics;
    };
    static QList<SettingsFile::Key> schema(Values &values);
    QString metricsAddress() const;
    bool save(const QByteArray &section, const QByteArray &name, const QByteArray &value,
              QString *errorText);

    QString m_path;
    Values m_values;
    QString m_readError;
    QStringList m_problems;
    QString m_saveError;
};
