#include "privatespace.h"

#include <QFile>

#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
bool g_entered = false;
} // namespace

bool PrivateSpace::entered()
{
    return g_entered;
}

bool PrivateSpace::enter()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    // A new network namespace starts with its loopback down.
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback = {};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = probe >= 0 && ::ioctl(probe, SIOCGIFFLAGS, &loopback) == 0;
    loopback.ifr_flags |= IFF_UP;
    up = up && ::ioctl(probe, SIOCSIFFLAGS, &loopback) == 0;
    ::close(probe);
    return g_entered = up;
}

bool PrivateSpace::mountSmallDisk(const QString &folder, const char *size)
{
    const QByteArray options = QByteArray("size=") + size + ",mode=0700";
    return ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0,
                   options.constData()) == 0;
}

void PrivateSpace::unmount(const QString &folder)
{
    ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
}
