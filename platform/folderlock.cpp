#include "platform/folderlock.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

FolderLock::~FolderLock()
{
    unlock();
}

FolderLock::Outcome FolderLock::lock(const QString &folder, QString *errorText)
{
    unlock();
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(FileName));
    const int descriptor =
        ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        if (errorText)
            *errorText = errno == ELOOP ? QStringLiteral("it is a symbolic link, which the "
                                                         "server does not follow")
                                        : QString::fromLocal8Bit(std::strerror(errno));
        return Outcome::Failed;
    }
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        if (errorText)
            *errorText = QStringLiteral("it is not a plain file");
        return Outcome::Failed;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(descriptor);
        if (error == EWOULDBLOCK)
            return Outcome::HeldByAnother;
        if (errorText)
            *errorText = QString::fromLocal8Bit(std::strerror(error));
        return Outcome::Failed;
    }
    // The holder's process id, for a person who looks at the folder.
    const QByteArray pid = QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(descriptor, 0) == 0 && ::write(descriptor, pid.constData(), pid.size()) < 0) {
        // Only informative; the lock is what counts.
    }
    m_descriptor = descriptor;
    return Outcome::Locked;
}

QString FolderLock::whyUnsafe(const QString &folder)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0)
        return QStringLiteral("%1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    if (status.st_uid != ::geteuid() && status.st_uid != 0)
        return QStringLiteral("%1 belongs to another user, who could change the server's files "
                              "in it.")
            .arg(folder);
    const bool groupMayWrite = (status.st_mode & S_IWGRP) != 0 && status.st_gid != ::getegid();
    if ((status.st_mode & S_IWOTH) != 0 || groupMayWrite)
        return QStringLiteral("Other users may write to %1, so they could change the server's "
                              "files in it; allow only its owner to write to it (chmod go-w).")
            .arg(folder);
    return {};
}

void FolderLock::unlock()
{
    if (m_descriptor < 0)
        return;
    ::close(m_descriptor); // releases the lock
    m_descriptor = -1;
}
