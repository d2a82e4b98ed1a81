#include "serverprocess.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const Launch &launch, std::string *error)
{
    std::vector<std::string> argumentText{launch.program};
    argumentText.insert(argumentText.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : argumentText)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // An extra entry replaces an inherited one of the same name.
    std::vector<std::string> environmentText;
    for (char **entry = environ; *entry; ++entry) {
        const std::string inherited(*entry);
        const std::string name = inherited.substr(0, inherited.find('=') + 1);
        bool replaced = false;
        if (name.empty())
            continue;
        for (const std::string &extra : launch.extraEnvironment)
            replaced = replaced || extra.compare(0, name.size(), name) == 0;
        if (!replaced)
            environmentText.push_back(inherited);
    }
    environmentText.insert(environmentText.end(), launch.extraEnvironment.begin(),
                           launch.extraEnvironment.end());
    std::vector<char *> envp;
    for (std::string &entry : environmentText)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    m_pid = ::fork();
    if (m_pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (m_pid == 0) {
        if (::chdir(launch.workingDirectory.c_str()) != 0)
            ::_exit(126);
        if (!launch.outputFile.empty()) {
            const int out = ::open(launch.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
        }
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0)
            ::dup2(in, 0);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return true;
}

bool ServerProcess::isRunning()
{
    if (m_pid <= 0)
        return false;
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

bool ServerProcess::holdsListener(pid_t pid, unsigned short port)
{
    if (pid <= 0)
        return false;
    std::vector<std::string> inodes;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, "%04X", unsigned(port));
    for (const char *tablePath : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(tablePath);
        std::string line;
        std::getline(table, line);
        while (std::getline(table, line)) {
            // sl local_address rem_address st ... uid timeout inode
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state == "0A" && local.size() > 5 && local.substr(local.size() - 4) == wanted)
                inodes.push_back("socket:[" + inode + "]");
        }
    }
    for (const std::string &socket : socketsOf(pid)) {
        if (std::find(inodes.begin(), inodes.end(), socket) != inodes.end())
            return true;
    }
    return false;
}

std::vector<std::string> ServerProcess::socketsOf(pid_t pid)
{
    std::vector<std::string> sockets;
    std::error_code error;
    const std::string fdFolder = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto &entry : std::filesystem::directory_iterator(fdFolder, error)) {
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:"))
            sockets.push_back(std::move(target));
    }
    return sockets;
}

void ServerProcess::end(pid_t terminated)
{
    if (m_pid <= 0)
        return;
    ::kill(terminated, SIGTERM);
    for (int i = 0; i < 1000; ++i) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

bool ServerProcess::isPortFree(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // The servers bind with address reuse, so a port in TIME_WAIT is free for them.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return free;
}

bool ServerProcess::waitUntilPortsFree(const std::vector<unsigned short> &ports, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool all = true;
        for (unsigned short port : ports)
            all = all && isPortFree(port);
        if (all)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
