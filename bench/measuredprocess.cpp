#include "measuredprocess.h"

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
bool acceptsOnLoopback(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}
} // namespace

bool MeasuredProcess::waitUntilAccepting(const std::vector<unsigned short> &ports, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (unsigned short port : ports) {
        while (!acceptsOnLoopback(port)) {
            if (std::chrono::steady_clock::now() > deadline || !isRunning())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!findListener(port))
            return false;
    }
    return true;
}

bool MeasuredProcess::findListener(unsigned short port)
{
    std::vector<pid_t> pids{pid()};
    for (std::size_t i = 0; i < pids.size() && pids[i] > 0; ++i) {
        if (holdsListener(pids[i], port)) {
            m_measuredPid = pids[i];
            return true;
        }
        std::error_code error;
        const std::string tasks = "/proc/" + std::to_string(pids[i]) + "/task";
        for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
            std::ifstream children(task.path() / "children");
            for (pid_t child; children >> child;)
                pids.push_back(child);
        }
    }
    return false;
}

std::int64_t MeasuredProcess::cpuNs() const
{
    // utime and stime, fields 14 and 15, count after the command name, which
    // is in parentheses and may itself hold spaces.
    std::ifstream stat("/proc/" + std::to_string(measuredPid()) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    long long user = -1;
    long long system = -1;
    if (!(fields >> user >> system))
        return -1;
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    return (user + system) * (1'000'000'000 / ticksPerSecond);
}
