#pragma once

#include "serverprocess.h"

#include <cstdint>

// A server under measurement: how long until its ports accept, its CPU time
// and memory. Under a wrapper that starts the server as its child (a
// profiler, strace -f), that child is found once it listens and from then on
// measured, and ended, instead of the wrapper.
class MeasuredProcess : public ServerProcess
{
public:
    ~MeasuredProcess() { stop(); }

    bool start(const Launch &launch, std::string *error);
    // Nanoseconds from the exec to the moment every port accepted a
    // connection, or -1 when one did not within the timeout (or the process
    // ended). `opened` tells which ports did.
    std::int64_t waitUntilAccepting(const std::vector<unsigned short> &ports, int timeoutMs,
                                    std::vector<bool> *opened = nullptr);
    // The process, or a descendant, holds the listening socket of this port;
    // that one is measured from then on.
    bool listensOn(unsigned short port);
    // User plus system CPU time the process has used so far, all threads, in
    // nanoseconds, from /proc/<pid>/stat (-1 when unknown). Unlike wall time it
    // does not depend on what else the machine is doing; its grain is one
    // clock tick (10 ms), so measure runs of a second or more.
    std::int64_t cpuNs() const;
    // The same from the scheduler's own count (nanosecond grain), a cross-check.
    std::int64_t onCpuNs() const;
    // Resident set size in KiB, -1 when unknown.
    long residentKb() const;
    // The server itself is ended, so that a wrapper sees it end and writes
    // its report.
    void stop() { end(measuredPid()); }

private:
    pid_t measuredPid() const { return m_measuredPid > 0 ? m_measuredPid : pid(); }

    pid_t m_measuredPid = -1;
    std::int64_t m_startedNs = 0;
};
