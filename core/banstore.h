#pragma once

#include "core/banrules.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <array>

// The server's one ban list: every way to ban or lift a ban goes through it,
// so ban.txt and ban-meta.txt are always written together. The rules stay in
// memory; the files are read again only when they changed on disk, so a hand
// edit counts from the next join without a restart.
class BanStore
{
public:
    explicit BanStore(const QString &folder);

    // Reads the files again when they changed since the last read. False
    // (with the reason) when one cannot be read: the bans read last still
    // count, and the next call tries again.
    bool refresh(QString *errorText = nullptr);
    // Forgets what was read, so that the next refresh reads both files.
    void invalidate() { m_read = false; }
    const QList<Ban> &bans() const { return m_rules.bans(); }

    // The bans in force at `now`; expired ones are lifted from the files
    // first (expiryError tells when that failed).
    QList<Ban> inForce(const QDateTime &now, QString *readError = nullptr,
                       QString *expiryError = nullptr);
    bool add(const BanRules::Request &request, const QDateTime &now, QString *errorText = nullptr);
    // A moderator's ban: one more ban.txt line each time, as it always has
    // been, and the side line for an address or range. False when ban.txt
    // could not be written; detailsError tells of a side line that could not.
    bool addLine(const BanRules::Request &request, const QDateTime &now, QString *errorText,
                 QString *detailsError);
    bool remove(const QByteArray &target, QString *errorText = nullptr);

private:
    struct Stamp
    {
        bool exists = false;
        qint64 size = 0;
        qint64 modified = 0; // nanoseconds
        quint64 inode = 0;
        friend bool operator==(const Stamp &, const Stamp &) = default;
    };
    static Stamp stampOf(const QString &path);
    std::array<Stamp, 2> stamps() const;
    // After a write of ours: what is in memory is what is on disk.
    void noteWritten(bool written);

    BanRules m_rules;
    QString m_listPath;
    QString m_sidePath;
    std::array<Stamp, 2> m_stamps;
    bool m_read = false;
};
