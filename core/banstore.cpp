#include "core/banstore.h"

#include "core/banlist.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

#include <algorithm>

BanStore::BanStore(const QString &folder)
    : m_rules(folder), m_listPath(QDir(folder).filePath(BanRules::ListFile)),
      m_sidePath(QDir(folder).filePath(BanRules::SideFile))
{
}

BanStore::Stamp BanStore::stampOf(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return {true, qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec,
            quint64(status.st_ino)};
}

std::array<BanStore::Stamp, 2> BanStore::stamps() const
{
    return {stampOf(m_listPath), stampOf(m_sidePath)};
}

bool BanStore::refresh(QString *errorText)
{
    // Taken before the read: a change made meanwhile is read next time.
    const std::array<Stamp, 2> now = stamps();
    if (m_read && now == m_stamps)
        return true;
    m_read = m_rules.load(errorText);
    m_stamps = now;
    return m_read;
}

void BanStore::noteWritten(bool written)
{
    m_read = written;
    m_stamps = stamps();
}

QList<Ban> BanStore::inForce(const QDateTime &now, QString *readError, QString *expiryError)
{
    refresh(readError);
    const auto expired = [&now](const Ban &ban) { return ban.hasExpired(now); };
    if (m_read && std::any_of(bans().cbegin(), bans().cend(), expired)) {
        m_rules.removeExpired(now, expiryError);
        noteWritten(m_read);
    }
    QList<Ban> kept = bans();
    kept.removeIf(expired);
    return kept;
}

bool BanStore::add(const BanRules::Request &request, const QDateTime &now, QString *errorText)
{
    const bool added = m_rules.add(request, now, errorText);
    noteWritten(added);
    return added;
}

bool BanStore::addLine(const BanRules::Request &request, const QDateTime &now, QString *errorText,
                       QString *detailsError)
{
    if (!BanList::append(m_listPath, request.target, errorText)) {
        m_read = false;
        return false;
    }
    if (AddressRange::parse(request.target)) {
        m_rules.add(request, now, detailsError);
        noteWritten(true);
    } else {
        m_read = false;
    }
    return true;
}

bool BanStore::remove(const QByteArray &target, QString *errorText)
{
    const bool removed = m_rules.remove(target, errorText);
    noteWritten(removed);
    return removed;
}
