#include "core/banstore.h"

#include "core/banlist.h"

#include <QDir>

#include <algorithm>

BanStore::BanStore(const QString &folder)
    : m_rules(folder), m_listPath(QDir(folder).filePath(BanRules::ListFile)),
      m_sidePath(QDir(folder).filePath(BanRules::SideFile))
{
}

std::array<FileStamp, 2> BanStore::stamps() const
{
    return {FileStamp::of(m_listPath), FileStamp::of(m_sidePath)};
}

bool BanStore::refresh(QString *errorText)
{
    // Taken before the read: a change made meanwhile is read next time.
    const std::array<FileStamp, 2> now = stamps();
    const bool settled = now[0].isSettled() && now[1].isSettled();
    if (m_current && settled && now == m_stamps)
        return true;
    BanRules fresh = m_rules;
    QString error;
    m_current = fresh.load(&error);
    // Before the first good read, what could be read counts, as it always has.
    if (m_current || !m_hasRead)
        m_rules = std::move(fresh);
    if (m_current) {
        m_stamps = now;
        m_hasRead = true;
    } else if (errorText) {
        *errorText = error;
    }
    return m_current;
}

std::optional<Ban> BanStore::match(const QByteArray &address, const QDateTime &now)
{
    refresh();
    return m_rules.match(address, now);
}

bool BanStore::write(const std::function<bool(BanRules &)> &change)
{
    BanRules changed = m_rules;
    const bool written = change(changed);
    if (written) {
        m_rules = std::move(changed);
        m_hasRead = true;
    }
    // After a failure the files may hold anything: the next use reads them.
    m_current = written;
    m_stamps = stamps();
    return written;
}

QList<Ban> BanStore::inForce(const QDateTime &now, QString *readError, QString *expiryError)
{
    refresh(readError);
    const auto expired = [&now](const Ban &ban) { return ban.hasExpired(now); };
    if (m_current && std::any_of(bans().cbegin(), bans().cend(), expired)) {
        QString error;
        write([&](BanRules &rules) {
            rules.removeExpired(now, &error);
            return error.isEmpty();
        });
        if (expiryError)
            *expiryError = error;
    }
    QList<Ban> kept = bans();
    kept.removeIf(expired);
    return kept;
}

bool BanStore::add(const BanRules::Request &request, const QDateTime &now, QString *errorText)
{
    return write([&](BanRules &rules) { return rules.add(request, now, errorText); });
}

bool BanStore::addLine(const BanRules::Request &request, const QDateTime &now, QString *errorText,
                       QString *detailsError)
{
    if (!BanList::append(m_listPath, request.target, errorText)) {
        m_current = false;
        return false;
    }
    // The side line reads ban.txt again, the new line with it; another
    // target is read at the next use.
    if (AddressRange::parse(request.target))
        write([&](BanRules &rules) { return rules.add(request, now, detailsError); });
    else
        m_current = false;
    return true;
}

bool BanStore::remove(const QByteArray &target, QString *errorText)
{
    return write([&](BanRules &rules) { return rules.remove(target, errorText); });
}
