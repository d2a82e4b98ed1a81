#include "smalldisk.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The child's exit status when it could not make the disk.
constexpr int NoDisk = 77;

void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t count =
            ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            ::_exit(1);
        written += count;
    }
}
} // namespace

SmallDisk::Run SmallDisk::run(const QString &folder, qint64 bytes,
                              const std::function<QByteArray()> &work)
{
    if (::geteuid() != 0)
        return {Outcome::Unavailable, {}};
    const QByteArray target = QFile::encodeName(folder);
    const QByteArray options = "size=" + QByteArray::number(bytes);
    int answerPipe[2];
    if (::pipe2(answerPipe, O_CLOEXEC) != 0)
        return {Outcome::Unavailable, {}};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(answerPipe[0]);
        // Private first, so the mount is not propagated to the test's namespace.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", target.constData(), "tmpfs", 0, options.constData()) != 0)
            ::_exit(NoDisk);
        writeAll(answerPipe[1], work());
        ::_exit(0); // the test's own objects belong to the parent
    }
    ::close(answerPipe[1]);
    if (child < 0) {
        ::close(answerPipe[0]);
        return {Outcome::Unavailable, {}};
    }
    QByteArray answer;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(answerPipe[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        answer.append(buffer, count);
    }
    ::close(answerPipe[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == NoDisk)
        return {Outcome::Unavailable, {}};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {Outcome::Crashed, answer};
    return {Outcome::Finished, answer};
}
