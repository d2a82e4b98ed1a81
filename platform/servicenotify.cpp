#include "platform/servicenotify.h"

#ifdef TARNWICK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <unistd.h>

void notifyServiceReady()
{
    // The process id stays the same across an upgrade; saying so keeps a
    // service manager from looking for another main process.
    char message[96];
    std::snprintf(message, sizeof message, "READY=1\nMAINPID=%ld\nSTATUS=Serving chat and login",
                  long(::getpid()));
    sd_notify(0, message);
}

void notifyServiceReloading()
{
    // The monotonic stamp lets newer service managers pair this with the
    // reload request it answers; older ones ignore it.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t microseconds =
        std::uint64_t(now.tv_sec) * 1000000u + std::uint64_t(now.tv_nsec) / 1000u;
    char message[96];
    std::snprintf(message, sizeof message, "RELOADING=1\nMONOTONIC_USEC=%" PRIu64, microseconds);
    sd_notify(0, message);
}

void notifyServiceStopping()
{
    sd_notify(0, "STOPPING=1");
}

bool serviceNotifySupported()
{
    return true;
}

#else

void notifyServiceReady() {}
void notifyServiceReloading() {}
void notifyServiceStopping() {}

bool serviceNotifySupported()
{
    return false;
}

#endif
