#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// A server started as a child process and watched from outside: how long
// until its ports accept, whether it listens, how it ended, its memory. Plain
// POSIX, so the benchmark (which has no Qt) and the tests share it.
class ServerProcess
{
public:
    struct Launch
    {
        std::string program;
        std::vector<std::string> arguments;
        std::string workingDirectory;
        std::vector<std::string> extraEnvironment; // NAME=value
        std::string outputFile;                    // stdout and stderr; empty: ours
    };

    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    bool start(const Launch &launch, std::string *error);
    // Nanoseconds from the exec to the moment every port accepted a
    // connection, or -1 when one did not within the timeout (or the process
    // ended). `opened` tells which ports did.
    std::int64_t waitUntilAccepting(const std::vector<unsigned short> &ports, int timeoutMs,
                                    std::vector<bool> *opened = nullptr);
    // Waits until the process itself holds a listening socket on every port,
    // without connecting to them (a probe connection would be a client to
    // the server). False when the time ran out or the process ended.
    bool waitUntilListening(const std::vector<unsigned short> &ports, int timeoutMs);
    // Alive: not ended. Reaps the process once it has ended.
    bool isRunning();
    // How the process ended ("exited with code 1", "killed by signal 11"), or
    // "still running".
    std::string endDescription();
    // User plus system CPU time the process has used so far, all threads, in
    // nanoseconds, from /proc/<pid>/stat (-1 when unknown). Unlike wall time it
    // does not depend on what else the machine is doing; its grain is one
    // clock tick (10 ms), so measure runs of a second or more.
    std::int64_t cpuNs() const;
    // The same from the scheduler's own count (nanosecond grain), a cross-check.
    std::int64_t onCpuNs() const;
    // Resident set size in KiB, -1 when unknown.
    long residentKb() const;
    // The process itself holds the listening socket of this port (and not
    // another program that happened to take it first). Under a wrapper that
    // starts the server as its child, that child is found and from then on
    // measured (memory and CPU) instead of the wrapper.
    bool listensOn(unsigned short port);
    void stop();
    pid_t pid() const { return m_pid; }

    // True when nothing listens on the port and it can be bound again.
    static bool isPortFree(unsigned short port);
    static bool waitUntilPortsFree(const std::vector<unsigned short> &ports, int timeoutMs);

private:
    void reaped(int status);
    pid_t measuredPid() const { return m_measuredPid > 0 ? m_measuredPid : m_pid; }

    pid_t m_pid = -1;
    pid_t m_measuredPid = -1;
    std::int64_t m_startedNs = 0;
    std::string m_end = "not started";
};
