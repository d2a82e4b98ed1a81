#include "core/filestamp.h"

#include <QFile>

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace {
// Coarser than any clock tick of a local file system and than FAT's two
// seconds; a file changed this recently is read at each use until it is older.
constexpr qint64 SettleNanoseconds = 3'000'000'000;

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}
} // namespace

FileStamp FileStamp::of(const QString &path)
{
    FileStamp stamp;
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return stamp;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    stamp.m_exists = true;
    stamp.m_device = quint64(status.st_dev);
    stamp.m_inode = quint64(status.st_ino);
    stamp.m_size = qint64(status.st_size);
    stamp.m_modified = nanoseconds(status.st_mtim);
    stamp.m_changed = nanoseconds(status.st_ctim);
    stamp.m_settled =
        std::max(stamp.m_modified, stamp.m_changed) < nanoseconds(now) - SettleNanoseconds;
    return stamp;
}
