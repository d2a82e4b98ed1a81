#include "core/textfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace {
bool failed(QString *errorText, int error)
{
    if (errorText)
        *errorText = TextFile::reason(error);
    return false;
}

bool failed(QString *errorText, const QString &text)
{
    if (errorText)
        *errorText = text;
    return false;
}

// Closes on every path; close() is checked where its result matters.
class Descriptor
{
public:
    explicit Descriptor(int descriptor) : m_descriptor(descriptor) {}
    ~Descriptor()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_descriptor; }
    bool isOpen() const { return m_descriptor >= 0; }
    // Closes now; false with errno set when the system reports a late error.
    bool close()
    {
        const int descriptor = std::exchange(m_descriptor, -1);
        return ::close(descriptor) == 0;
    }

private:
    int m_descriptor;
};

int openNoFollow(const QByteArray &path, int flags, mode_t mode = 0600)
{
    int descriptor;
    do {
        descriptor = ::open(path.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

bool writeAll(int descriptor, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Reads from the file's current offset to its end.
bool readRest(int descriptor, QByteArray *content)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        content->append(buffer, got);
    }
}

// What other programs appended to a file after it was read and renamed over:
// they opened it before the rename and may still be writing. Once nobody else
// has it open (a write lease can be had), nothing more can reach it. A reader
// that keeps it open (tail -f) is waited for only briefly.
bool readLate(int descriptor, QByteArray *late)
{
    for (int attempt = 0;; ++attempt) {
        const bool alone = ::fcntl(descriptor, F_SETLEASE, F_WRLCK) == 0;
        const bool othersHaveIt = !alone && errno == EAGAIN;
        if (!readRest(descriptor, late))
            return false;
        if (alone)
            ::fcntl(descriptor, F_SETLEASE, F_UNLCK);
        if (!othersHaveIt || attempt == 200)
            return true;
        ::usleep(500);
    }
}

// Opens a regular file, refusing anything else (a FIFO would block the server).
int openRegular(const QByteArray &path, int flags, mode_t mode = 0600)
{
    const int descriptor = openNoFollow(path, flags | O_NONBLOCK, mode);
    if (descriptor < 0)
        return -1;
    struct stat status = {};
    int error = 0;
    if (::fstat(descriptor, &status) != 0)
        error = errno;
    else if (!S_ISREG(status.st_mode))
        error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    if (error != 0) {
        ::close(descriptor);
        errno = error;
        return -1;
    }
    // Back to blocking: writes to a regular file must not come back short on EAGAIN.
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return descriptor;
}

// Makes the rename itself durable: a crash after it cannot bring back the old file.
bool syncFolder(const QByteArray &folder)
{
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return errno == EACCES; // a folder we may not read cannot be synced; nothing to do
    const bool synced = ::fsync(descriptor) == 0 || errno == EINVAL;
    const int error = errno;
    ::close(descriptor);
    errno = error;
    return synced;
}

// For a folder we may not create files in: the file's own bytes are
// overwritten. Space is reserved first, so a full disk fails before anything
// changes; a later failure puts the old bytes back as far as it can.
bool writeInPlace(const QByteArray &path, const QByteArray &bytes, QString *errorText)
{
    Descriptor file(openRegular(path, O_RDWR));
    if (!file.isOpen())
        return failed(errorText, errno);
    struct stat status = {};
    if (::fstat(file.get(), &status) != 0)
        return failed(errorText, errno);
    QByteArray old(qsizetype(status.st_size), Qt::Uninitialized);
    if (::pread(file.get(), old.data(), size_t(old.size()), 0) != old.size())
        return failed(errorText, errno != 0 ? errno : EIO);
    if (bytes.size() > old.size()) {
        const int error = ::posix_fallocate(file.get(), 0, bytes.size());
        if (error != 0 && error != EOPNOTSUPP && error != EINVAL)
            return failed(errorText, error);
    }
    const auto putBack = [&](int error) {
        if (::pwrite(file.get(), old.constData(), size_t(old.size()), 0) == old.size())
            (void)!::ftruncate(file.get(), old.size());
        return failed(errorText, error);
    };
    if (::pwrite(file.get(), bytes.constData(), size_t(bytes.size()), 0) != bytes.size())
        return putBack(errno != 0 ? errno : ENOSPC);
    if (::ftruncate(file.get(), bytes.size()) != 0 || ::fsync(file.get()) != 0)
        return putBack(errno);
    if (!file.close())
        return failed(errorText, errno);
    return true;
}

// Writes `bytes` to a new, owner-only temporary file in `folder`; returns its path.
std::optional<QByteArray> writeTemporary(const QByteArray &folder, const QByteArray &name,
                                         const QByteArray &bytes, mode_t mode, int *error)
{
    QByteArray path = folder + "/." + name + ".XXXXXX";
    Descriptor file(::mkostemp(path.data(), O_CLOEXEC));
    if (!file.isOpen()) {
        *error = errno;
        return std::nullopt;
    }
    if (::fchmod(file.get(), mode) != 0 || !writeAll(file.get(), bytes.constData(), bytes.size()) ||
        ::fsync(file.get()) != 0 || !file.close()) {
        *error = errno;
        ::unlink(path.constData());
        return std::nullopt;
    }
    return path;
}
} // namespace

QString TextFile::reason(int error)
{
    if (error == ELOOP)
        return QStringLiteral("it is a symbolic link, which the server does not follow");
    return QString::fromLocal8Bit(std::strerror(error));
}

std::optional<QByteArray> TextFile::read(const QString &path, Missing missing, QString *errorText)
{
    Descriptor file(openRegular(QFile::encodeName(path), O_RDONLY));
    if (!file.isOpen()) {
        if (errno == ENOENT && missing == Missing::ReadsAsEmpty)
            return QByteArray();
        failed(errorText, errno);
        return std::nullopt;
    }
    QByteArray content;
    if (!readRest(file.get(), &content)) {
        failed(errorText, errno);
        return std::nullopt;
    }
    return content;
}

bool TextFile::append(const QString &path, const QByteArray &bytes, QString *errorText,
                      qint64 sizeLimit)
{
    const QByteArray native = QFile::encodeName(path);
    // Read as well: the last byte tells whether the last line has its end.
    int descriptor = openRegular(native, O_RDWR | O_APPEND);
    const bool creating = descriptor < 0 && errno == ENOENT;
    if (creating)
        descriptor = openRegular(native, O_RDWR | O_APPEND | O_CREAT | O_EXCL);
    Descriptor file(descriptor);
    if (!file.isOpen())
        return failed(errorText, errno);
    if (creating && ::fchmod(file.get(), 0600) != 0)
        return failed(errorText, errno);
    // Other writers of ours take the same lock (the ban list's rewrite).
    while (::flock(file.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return failed(errorText, errno);
    }
    struct stat status = {};
    if (::fstat(file.get(), &status) != 0)
        return failed(errorText, errno);
    const off_t oldSize = status.st_size;
    QByteArray entry;
    if (oldSize > 0) {
        char last = '\n';
        if (::pread(file.get(), &last, 1, oldSize - 1) != 1)
            return failed(errorText, errno != 0 ? errno : EIO);
        if (last == '\r')
            entry = "\n";
        else if (last != '\n')
            entry = "\r\n";
    }
    entry += bytes;
    if (sizeLimit > 0 && oldSize + entry.size() > sizeLimit)
        return failed(errorText, QStringLiteral("it would grow past %1 bytes").arg(sizeLimit));
    if (!writeAll(file.get(), entry.constData(), entry.size()) || ::fdatasync(file.get()) != 0) {
        const int error = errno;
        // No partial line stays behind for the next append to run into.
        (void)!::ftruncate(file.get(), oldSize);
        return failed(errorText, error);
    }
    if (!file.close())
        return failed(errorText, errno);
    return true;
}

bool TextFile::replace(const QString &path, const QByteArray &bytes, ReadOnlyFolder readOnlyFolder,
                       QString *errorText, Access access)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat status = {};
    if (::lstat(native.constData(), &status) == 0) {
        if (S_ISLNK(status.st_mode))
            return failed(errorText, ELOOP);
        if (!S_ISREG(status.st_mode))
            return failed(errorText, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    } else if (errno != ENOENT) {
        return failed(errorText, errno);
    }
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const mode_t mode = access == Access::OwnerOnly ? 0600 : 0644;
    int error = 0;
    const std::optional<QByteArray> temporary =
        writeTemporary(folder, QFile::encodeName(info.fileName()), bytes, mode, &error);
    if (!temporary) {
        const bool folderClosed = error == EACCES || error == EPERM || error == EROFS;
        if (folderClosed && readOnlyFolder == ReadOnlyFolder::WritesInPlace &&
            ::access(native.constData(), W_OK) == 0)
            return writeInPlace(native, bytes, errorText);
        return failed(errorText, error);
    }
    if (::rename(temporary->constData(), native.constData()) != 0) {
        error = errno;
        ::unlink(temporary->constData());
        return failed(errorText, error);
    }
    if (!syncFolder(folder))
        return failed(errorText, errno);
    return true;
}

bool TextFile::rewrite(const QString &path, const Change &change, QString *errorText)
{
    const QByteArray native = QFile::encodeName(path);
    // A missing file is made first: one another program creates meanwhile
    // must not be renamed over unread.
    int descriptor = openRegular(native, O_RDONLY);
    const bool creating = descriptor < 0 && errno == ENOENT;
    if (creating)
        descriptor = openRegular(native, O_RDONLY | O_CREAT, 0600);
    Descriptor old(descriptor);
    if (!old.isOpen() || (creating && ::fchmod(old.get(), 0600) != 0))
        return failed(errorText, errno);
    while (::flock(old.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return failed(errorText, errno);
    }
    QByteArray content;
    if (!readRest(old.get(), &content))
        return failed(errorText, errno);
    const std::optional<QByteArray> changed = change(content);
    if (!changed)
        return true;
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    int error = 0;
    const std::optional<QByteArray> temporary =
        writeTemporary(folder, QFile::encodeName(info.fileName()), *changed, 0600, &error);
    if (!temporary)
        return failed(errorText, error);
    if (::rename(temporary->constData(), native.constData()) != 0) {
        error = errno;
        ::unlink(temporary->constData());
        return failed(errorText, error);
    }
    QByteArray late;
    if (!readLate(old.get(), &late))
        return failed(errorText, errno);
    if (!late.isEmpty()) {
        // Others may be appending to the new file already: add at its end.
        Descriptor renamed(openRegular(native, O_WRONLY | O_APPEND));
        if (!renamed.isOpen() || !writeAll(renamed.get(), late.constData(), late.size()) ||
            ::fdatasync(renamed.get()) != 0 || !renamed.close())
            return failed(errorText, errno);
    }
    if (!syncFolder(folder))
        return failed(errorText, errno);
    return true;
}

bool TextFile::create(const QString &path, const QByteArray &bytes, QString *errorText)
{
    const QByteArray native = QFile::encodeName(path);
    Descriptor file(openNoFollow(native, O_WRONLY | O_CREAT | O_EXCL));
    if (!file.isOpen())
        return failed(errorText, errno);
    if (::fchmod(file.get(), 0600) != 0 || !writeAll(file.get(), bytes.constData(), bytes.size()) ||
        ::fsync(file.get()) != 0 || !file.close()) {
        const int error = errno;
        ::unlink(native.constData());
        return failed(errorText, error);
    }
    return true;
}
