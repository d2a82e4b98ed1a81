#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A server started as a child process and watched from outside: whether it
// listens, how it ended. Shared by the tests and the benchmark.
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
    // Alive: not ended. Reaps the process once it has ended.
    bool isRunning();
    void stop() { end(m_pid); }
    pid_t pid() const { return m_pid; }

    // True when nothing listens on the port and it can be bound again.
    static bool isPortFree(unsigned short port);
    static bool waitUntilPortsFree(const std::vector<unsigned short> &ports, int timeoutMs);
    // The sockets `pid` holds open, as their descriptors name them ("socket:[inode]").
    static std::vector<std::string> socketsOf(pid_t pid);

protected:
    // `pid` holds the listening socket of this port (and not another program
    // that happened to take it first).
    static bool holdsListener(pid_t pid, unsigned short port);
    // Sends `terminated` SIGTERM, waits (then kills) until our process ended.
    void end(pid_t terminated);

private:
    pid_t m_pid = -1;
};
