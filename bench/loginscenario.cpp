#include "loginscenario.h"

#include "eventpoll.h"
#include "measuredprocess.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

unsigned short freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned short port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// One request, one reply line; the reply in `reply`, -1 on failure.
std::int64_t ask(int fd, const std::string &request, std::string &reply)
{
    const std::int64_t start = EventPoll::nowNs();
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        return -1;
    reply.clear();
    char buffer[512];
    while (reply.find("\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return -1;
        reply.append(buffer, std::size_t(n));
    }
    return EventPoll::nowNs() - start;
}

double percentile(std::vector<std::int64_t> values, double fraction)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const std::size_t index =
        std::min(values.size() - 1, std::size_t(fraction * double(values.size() - 1) + 0.5));
    return double(values[index]) / 1e6;
}

// 127.1.0.1, 127.1.0.2, ...: all of 127.0.0.0/8 is the loopback.
in_addr_t registrationAddress(int i)
{
    return (127u << 24) | (1u << 16) | ((unsigned(i) / 250u) << 8) | (unsigned(i) % 250u + 1u);
}

// A connection from `source` (host order) to the loopback port, with
// Nagle off and a receive timeout; -1 on failure.
int connectFrom(in_addr_t source, unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(source);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

LoginScenario::LoginScenario(std::string hostProgram, int users, int validates, int registrations)
    : m_hostProgram(std::move(hostProgram)), m_users(users), m_validates(validates),
      m_registrations(registrations)
{
}

LoginScenario::Result LoginScenario::run()
{
    Result result;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnwick-bench-login-").string() + "XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        result.failure = "no temporary folder";
        return result;
    }
    const std::filesystem::path folder = pattern;
    const std::filesystem::path program = folder / "tarnwick-login-host";
    std::error_code error;
    std::filesystem::copy_file(m_hostProgram, program, error);
    const unsigned short port = freePort();
    MeasuredProcess host;
    std::string startError;
    ServerProcess::Launch launch{
        program.string(),
        {"--users", std::to_string(m_users), "--port", std::to_string(port)},
        folder.string(),
        {"QT_QPA_PLATFORM=offscreen"},
        (folder / "host-output.txt").string()};
    if (error || port == 0 || !host.start(launch, &startError)) {
        result.failure = "could not start the login host " + startError;
        std::filesystem::remove_all(folder, error);
        return result;
    }
    if (host.waitUntilAccepting({port}, 300'000) < 0 || !host.listensOn(port)) {
        result.failure = "the login host did not open its port";
    } else {
        std::vector<std::int64_t> validates;
        std::vector<std::int64_t> registrations;
        std::mt19937 random(7);
        std::string reply;
        const int fd = connectFrom(INADDR_LOOPBACK, port);
        bool ok = fd >= 0;
        for (int i = 0; ok && i < m_validates; ++i) {
            const std::string k = std::to_string(random() % unsigned(std::max(1, m_users)));
            const std::int64_t ns = ask(fd, "VALIDATE\tuser" + k + "\tpw" + k + "\r\n", reply);
            ok = ns >= 0 && reply == (m_users > 0 ? "PASS\r\n" : "REJECTED\r\n");
            if (!ok)
                result.failure = "VALIDATE for user" + k + " got " + reply;
            validates.push_back(ns);
        }
        for (int i = 0; ok && i < m_registrations; ++i) {
            const std::string name = "newcomer" + std::to_string(i);
            std::string line = "NEWUSER";
            const std::string fields[15] = {"New",  "Comer", "2 Bench Road",       "",   "Benchton",
                                            "BT",   "12345", "Benchland",          name, "secret",
                                            "Loop", "LAN",   name + "@bench.test", "No", "No"};
            for (const std::string &field : fields)
                line += "\t" + field;
            // Each registration from an address of its own: the service takes
            // only a few from one address in ten minutes.
            const int from = connectFrom(registrationAddress(i), port);
            const std::int64_t ns = from < 0 ? -1 : ask(from, line + "\r\n", reply);
            if (from >= 0)
                ::close(from);
            ok = ns >= 0 && reply == "ACCEPT\r\n";
            if (!ok)
                result.failure = "NEWUSER " + name + " got " + reply;
            registrations.push_back(ns);
        }
        if (fd >= 0)
            ::close(fd);
        result.ok = ok;
        if (ok) {
            result.validateMedianMs = percentile(validates, 0.5);
            result.validateP99Ms = percentile(validates, 0.99);
            result.newUserMedianMs = percentile(registrations, 0.5);
            result.newUserP99Ms = percentile(registrations, 0.99);
        }
    }
    host.stop();
    std::filesystem::remove_all(folder, error);
    return result;
}
