#pragma once

#include "serverprocess.h"
#include "testfolders.h"

// The real program, started the way a host does: copied into a program folder
// of its own, run from a separate working directory on the fixed ports without
// a display, and watched from outside through /proc.
class ServerUnderTest : public ServerProcess, public TestFolders
{
public:
    static constexpr quint16 ChatPort = 3069;
    static constexpr quint16 LoginPort = 3068;

    ServerUnderTest();
    // Stopped before its folders go.
    ~ServerUnderTest() { stop(); }

    // Waits for the fixed ports to be free, starts the program and waits until
    // it listens on both. False, with the reason warned, when it did not come up.
    bool start();
    // A "Vm..." line of /proc/<pid>/status in KiB (VmRSS, VmHWM); -1 unknown.
    qint64 statusKb(const char *field) const;
    // The number of open sockets (connections, listeners, the control
    // socket); -1 unknown. Files and threads' wake-up descriptors, which the
    // program opens when first needed and a thread pool lets go when idle,
    // do not count.
    int openSockets() const;
    // Waits (up to timeoutMs) until the socket count is at most `count` and
    // returns the last count seen.
    int waitForSocketsAtMost(int count, int timeoutMs) const;
};
