#include "measuredprocess.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {
std::int64_t nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

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

bool MeasuredProcess::start(const Launch &launch, std::string *error)
{
    m_startedNs = nowNs();
    m_measuredPid = -1;
    return ServerProcess::start(launch, error);
}

std::int64_t MeasuredProcess::waitUntilAccepting(const std::vector<unsigned short> &ports,
                                                 int timeoutMs, std::vector<bool> *opened)
{
    std::vector<bool> open(ports.size(), false);
    const std::int64_t deadline = nowNs() + std::int64_t(timeoutMs) * 1'000'000;
    std::int64_t result = -1;
    for (;;) {
        bool all = true;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (!open[i])
                open[i] = acceptsOnLoopback(ports[i]);
            all = all && open[i];
        }
        if (all) {
            result = nowNs() - m_startedNs;
            break;
        }
        if (nowNs() > deadline || !isRunning())
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (opened)
        *opened = open;
    return result;
}

bool MeasuredProcess::listensOn(unsigned short port)
{
    if (pid() <= 0)
        return false;
    std::vector<pid_t> pids{pid()};
    for (std::size_t i = 0; i < pids.size(); ++i) {
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

long MeasuredProcess::residentKb() const
{
    if (pid() <= 0)
        return -1;
    std::ifstream status("/proc/" + std::to_string(measuredPid()) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = -1;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

std::int64_t MeasuredProcess::cpuNs() const
{
    if (pid() <= 0)
        return -1;
    // utime and stime, fields 14 and 15, count after the command name, which
    // is in parentheses and may itself hold spaces.
    std::ifstream stat("/proc/" + std::to_string(measuredPid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    long long user = -1;
    long long system = -1;
    if (!(fields >> user >> system) || user < 0 || system < 0)
        return -1;
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    return (user + system) * (1'000'000'000 / ticksPerSecond);
}

std::int64_t MeasuredProcess::onCpuNs() const
{
    if (pid() <= 0)
        return -1;
    std::int64_t total = 0;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(measuredPid()) + "/task";
    for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        std::int64_t onCpu = 0;
        if (schedstat >> onCpu)
            total += onCpu;
    }
    return error ? -1 : total;
}
