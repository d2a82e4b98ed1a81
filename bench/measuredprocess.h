#pragma once

#include "serverprocess.h"

#include <cstdint>

// A server under measurement. Under a wrapper that starts the server as its
// child (a profiler, strace -f), that child is found once it listens and from
// then on measured, and ended, instead of the wrapper.
class MeasuredProcess : public ServerProcess
{
public:
    ~MeasuredProcess() { stop(); }

    // Until every port accepts a connection; false when one did not within
    // the timeout, the process ended, or another process holds the port.
    bool waitUntilAccepting(const std::vector<unsigned short> &ports, int timeoutMs);
    // User plus system CPU time used so far, all threads, in nanoseconds (-1
    // when unknown). Unlike wall time it does not depend on what else the
    // machine does; its grain is one clock tick, so measure a second or more.
    std::int64_t cpuNs() const;
    void stop() { end(measuredPid()); } // the server, so that a wrapper writes its report

private:
    bool findListener(unsigned short port);
    pid_t measuredPid() const { return m_measuredPid > 0 ? m_measuredPid : pid(); }

    pid_t m_measuredPid = -1;
};
