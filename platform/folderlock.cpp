#include "platform/folderlock.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FolderLock::~FolderLock()
{
    unlock();
}

FolderLock::Outcome FolderLock::lock(const QString &folder, QString *errorText)
{
    unlock();
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(FileName));
    const int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        if (errorText)
            *errorText = QString::fromLocal8Bit(std::strerror(errno));
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

void FolderLock::unlock()
{
    if (m_descriptor < 0)
        return;
    ::close(m_descriptor); // releases the lock
    m_descriptor = -1;
}
