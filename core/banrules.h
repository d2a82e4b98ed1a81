#pragma once

#include "platform/ownedfiles.h"

#include "core/addressrange.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

// The bans of ban.txt with what the server knows about them. ban.txt stays in
// the form every reader of it understands: one quoted address ("1.2.3.4") or
// range ("10.1.0.0/16") per line. What more there is to a ban lives beside it
// in ban-meta.txt, one line per ban:
//
//   target TAB set-at TAB expires TAB set-by TAB reason
//
// times in UTC ISO 8601 or "-" when unknown or never, texts with '%', TAB and
// control bytes percent-encoded. A ban.txt line without a side line (written
// by hand, or by an older server) never expires; a side line whose ban is no
// longer in ban.txt means nothing and goes with the next write. An expired
// ban leaves both files.
struct Ban
{
    QByteArray target; // as ban.txt has it
    // Nothing for an item that is no address or range: it matches a
    // connecting address equal to its text, as it always has.
    std::optional<AddressRange> range;
    QDateTime setAt;   // invalid when unknown
    QDateTime expires; // invalid: never
    QByteArray setBy;
    QByteArray reason;

    bool hasExpired(const QDateTime &now) const { return expires.isValid() && expires <= now; }
};

class BanRules
{
public:
    static constexpr QLatin1StringView ListFile = OwnedFiles::BanList;
    static constexpr QLatin1StringView SideFile = OwnedFiles::BanDetails;

    struct Request
    {
        QByteArray target;                            // an address or a range
        std::optional<std::chrono::seconds> duration; // nothing: never expires
        QByteArray reason;
        QByteArray setBy;
    };

    explicit BanRules(const QString &folder);

    // Reads both files; a missing file is an empty one. False (with the
    // reason) when one exists but cannot be read: the bans that could be read
    // still match, and neither file is written over until a load succeeds.
    bool load(QString *errorText = nullptr);
    const QList<Ban> &bans() const { return m_bans; }
    // Side lines that were not understood at the last load; they are dropped
    // by the next write.
    const QStringList &warnings() const { return m_warnings; }

    // The first ban in file order that covers `address` and has not expired.
    std::optional<Ban> match(const QByteArray &address, const QDateTime &now) const;

    // Each of these reloads first, so that hand edits and other writers'
    // appends since the last load are kept.
    // Adds a ban or, for a target already banned, replaces what is known of it.
    bool add(const Request &request, const QDateTime &now, QString *errorText = nullptr);
    // Lifts every ban.txt item that is `target`: the same address or range, or,
    // for a text that is neither, the same text.
    bool remove(const QByteArray &target, QString *errorText = nullptr);
    // Lifts the bans expired at `now` from both files and returns them. They
    // are lifted once ban.txt is written; errorText also tells of a side file
    // that could not be written after it (its stale lines mean nothing).
    QList<Ban> removeExpired(const QDateTime &now, QString *errorText = nullptr);

    // "90s", "30m", "2h", "7d": a whole number above 0 and one unit letter.
    static std::optional<std::chrono::seconds> parseDuration(QByteArrayView text,
                                                             QString *errorText = nullptr);
    // The largest unit that divides evenly: 7d, 36h, 90m, 45s.
    static QByteArray durationText(std::chrono::seconds duration);
    static constexpr std::chrono::days LongestDuration{3650};

private:
    struct Details
    {
        QDateTime setAt;
        QDateTime expires;
        QByteArray setBy;
        QByteArray reason;
    };
    static QByteArray key(const QByteArray &item);
    bool loadForWriting(QString *errorText);
    // Rewrites ban.txt without the items `lifted` picks.
    bool saveListWithout(const std::function<bool(const QByteArray &)> &lifted, QString *errorText);
    bool saveDetails(QString *errorText);
    void rebuild(const QList<QByteArray> &items);

    QString m_listPath;
    QString m_sidePath;
    QList<QByteArray> m_items;            // ban.txt as read
    QHash<QByteArray, Details> m_details; // by key()
    QList<Ban> m_bans;
    QStringList m_warnings;
};
