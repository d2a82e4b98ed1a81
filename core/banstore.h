#pragma once

#include "core/banrules.h"
#include "core/filestamp.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <optional>

// The server's one ban list: every way to ban or lift a ban goes through it,
// so ban.txt and ban-meta.txt are always written together. The rules stay in
// memory; the files are read again only when their stamps show a change, so
// a hand edit counts from the next accept or join without a restart. Once
// read, a list that cannot be read any more keeps the bans read last.
//
// Both services use it at accept, so they share one thread; it is not locked.
class BanStore
{
public:
    explicit BanStore(const QString &folder);

    // Reads the files again when they changed since the last read. False
    // (with the reason) when one cannot be read: the bans read last still
    // count (those that could be read, before the first good read), and the
    // next call tries again.
    bool refresh(QString *errorText = nullptr);
    // Forgets what was read, so that the next refresh reads both files.
    void invalidate() { m_current = false; }
    // Whether the bans in memory come from a complete read of both files.
    bool hasRead() const { return m_hasRead; }
    const QList<Ban> &bans() const { return m_rules.bans(); }
    // The first ban in force at `now` that covers `address`, after a refresh.
    std::optional<Ban> match(const QByteArray &address, const QDateTime &now);

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
    std::array<FileStamp, 2> stamps() const;
    // Runs a write on a copy of the rules, which replaces them when it
    // succeeds; the files are stamped afresh either way.
    bool write(const std::function<bool(BanRules &)> &change);

    BanRules m_rules;
    QString m_listPath;
    QString m_sidePath;
    std::array<FileStamp, 2> m_stamps;
    bool m_current = false; // m_rules is what the files hold
    bool m_hasRead = false;
};
