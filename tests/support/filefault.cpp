#include "filefault.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
// Reads and writes of this file fail with EIO: nothing is mapped at address 0.
const QString FailingFile = QStringLiteral("/proc/self/mem");
} // namespace

QByteArray FileFault::garbage()
{
    QByteArray bytes;
    quint32 state = 2463534242u;
    for (int i = 0; i < 4096; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes += char(state & 0xff);
    }
    return bytes;
}

bool FileFault::apply(const QString &path, Fault fault, const QByteArray &content)
{
    switch (fault) {
    case Fault::Missing:
        return !QFileInfo::exists(path) || QFile::remove(path);
    case Fault::Directory:
        return QDir().mkpath(path) && writeFile(QDir(path).filePath(QStringLiteral("keep")), "x");
    case Fault::DiskError:
        return QFile::link(FailingFile, path);
    case Fault::Garbage:
        return writeFile(path, garbage());
    case Fault::Immutable:
        return writeFile(path, content) && setImmutable(path, true);
    }
    return false;
}

bool FileFault::setImmutable(const QString &path, bool immutable)
{
    if (::geteuid() != 0) // permission bits suffice, and only root may set the flag
        return QFile::setPermissions(path, immutable ? QFile::ReadOwner | QFile::ExeOwner
                                                     : QFile::ReadOwner | QFile::WriteOwner |
                                                           QFile::ExeOwner);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

QByteArray FileFault::snapshot(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return "link to " + QFile::encodeName(info.symLinkTarget());
    if (!info.exists())
        return "missing";
    if (info.isDir()) {
        return "directory holding " +
               QFile::encodeName(QDir(path)
                                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                                     .join(QLatin1Char(' ')));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "unreadable file";
    return "file holding " + file.readAll();
}
