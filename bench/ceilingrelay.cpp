// The benchmark's ceiling: the least a relay of the chat lines the benchmark
// uses can cost on this machine. One thread, one epoll set, non-blocking
// sockets, 50 slots, no log, no window; every line a turn produces for a
// socket leaves with one send at the end of that turn.
//
//   in:   Name TAB name CR LF
//   out:  MOTD TAB motd CR LF, GETPROFILE TAB name TAB CR LF, then slot by slot
//         ADDUSER TAB row CR LF (to the newcomer, for every other listed name)
//         and ADDUSER TAB name CR LF (to every connection, the newcomer's own too)
//   in:   Message TAB label TAB text CR LF
//   out:  Message TAB label TAB text TAB CR LF to every connection
// A taken name (letter case ignored) gets DOUBLE CR LF and the connection is
// closed. Every other line is ignored.

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Slots = 50;
constexpr std::size_t ReadSize = 64 * 1024;
constexpr std::size_t InputCap = 1024 * 1024;
constexpr std::size_t OutputCap = 4 * 1024 * 1024;
constexpr std::uint64_t ListenerTag = ~std::uint64_t(0);

struct Slot
{
    int fd = -1;
    std::string input;  // the unfinished line
    std::string output; // what this turn produced, plus what the system did not take
    bool dirty = false;
    bool writeWatched = false;
    std::string name; // empty until a Name line passes
};

std::array<Slot, Slots> slots;
std::vector<int> dirtyList;
int epollFd = -1;
std::string motdLine;

void queue(int index, std::string_view bytes)
{
    Slot &slot = slots[std::size_t(index)];
    if (slot.fd < 0)
        return;
    slot.output.append(bytes);
    if (!slot.dirty) {
        slot.dirty = true;
        dirtyList.push_back(index);
    }
}

void closeSlot(int index)
{
    Slot &slot = slots[std::size_t(index)];
    ::close(slot.fd); // also leaves the epoll set
    slot = Slot();
}

// Sends what the slot holds, as far as the system takes it now.
void flush(int index)
{
    Slot &slot = slots[std::size_t(index)];
    const ssize_t n = slot.output.empty()
                          ? 0
                          : ::send(slot.fd, slot.output.data(), slot.output.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return closeSlot(index);
    slot.output.erase(0, std::size_t(std::max<ssize_t>(n, 0)));
    if (slot.output.size() > OutputCap)
        return closeSlot(index); // a listener that does not read is dropped
    const bool wanted = !slot.output.empty();
    if (slot.writeWatched != wanted) {
        epoll_event event{};
        event.events = EPOLLIN | (wanted ? EPOLLOUT : 0u);
        event.data.u64 = std::uint64_t(index);
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, slot.fd, &event);
        slot.writeWatched = wanted;
    }
}

void onName(int s, std::string_view name)
{
    for (const Slot &slot : slots) {
        if (slot.fd >= 0 && slot.name.size() == name.size() && !slot.name.empty() &&
            ::strncasecmp(slot.name.data(), name.data(), name.size()) == 0) {
            queue(s, "DOUBLE\r\n");
            flush(s);
            return closeSlot(s);
        }
    }
    slots[std::size_t(s)].name.assign(name);
    queue(s, motdLine);
    queue(s, "GETPROFILE\t" + std::string(name) + "\t\r\n");
    const std::string added = "ADDUSER\t" + std::string(name) + "\r\n";
    for (int i = 0; i < Slots; ++i) {
        const Slot &other = slots[std::size_t(i)];
        if (i != s && other.fd >= 0 && !other.name.empty())
            queue(s, "ADDUSER\t" + other.name + "\r\n");
        queue(i, added);
    }
}

void handleLine(int s, std::string_view line)
{
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
        return;
    const std::string_view keyword = line.substr(0, tab);
    const std::string_view rest = line.substr(tab + 1);
    const std::size_t tab2 = rest.find('\t');
    if (keyword == "Name") {
        onName(s, rest.substr(0, tab2));
    } else if (keyword == "Message" && tab2 != std::string_view::npos) {
        const std::string_view text = rest.substr(tab2 + 1);
        std::string out = "Message\t";
        out.append(rest.substr(0, tab2)).append("\t").append(text.substr(0, text.find('\t')));
        out.append("\t\r\n");
        for (int i = 0; i < Slots; ++i)
            queue(i, out);
    }
}

void readFrom(int s)
{
    static char buffer[ReadSize];
    Slot &slot = slots[std::size_t(s)];
    const ssize_t n = ::recv(slot.fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return closeSlot(s);
    if (n < 0)
        return;
    slot.input.append(buffer, std::size_t(n));
    std::size_t start = 0;
    for (std::size_t end; slot.fd >= 0 && (end = slot.input.find("\r\n", start)) != slot.input.npos;
         start = end + 2)
        handleLine(s, std::string_view(slot.input).substr(start, end - start));
    if (slot.fd >= 0)
        slot.input.erase(0, start);
    if (slot.input.size() > InputCap)
        closeSlot(s);
}

void accept(int listener)
{
    for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        int index = 0;
        while (index < Slots && slots[std::size_t(index)].fd >= 0)
            ++index;
        if (index == Slots) {
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        slots[std::size_t(index)].fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = std::uint64_t(index);
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
    }
}

int listenOn(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0)
        return -1;
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned short port = 0;
    std::string motdFile = "motd.txt";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--port")
            port = static_cast<unsigned short>(std::atoi(argv[i + 1]));
        else if (option == "--motd-file")
            motdFile = argv[i + 1];
    }
    if (port == 0) {
        std::fprintf(stderr, "usage: tarnwick-ceiling --port N [--motd-file PATH]\n");
        return 2;
    }
    std::ifstream motd(motdFile, std::ios::binary);
    motdLine = "MOTD\t" +
               std::string(std::istreambuf_iterator<char>(motd), std::istreambuf_iterator<char>()) +
               "\r\n";
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = listenOn(port);
    if (listener < 0) {
        std::perror("listen");
        return 1;
    }
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = ListenerTag;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &event);
    epoll_event events[64];
    for (;;) {
        const int count = ::epoll_wait(epollFd, events, 64, -1);
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 == ListenerTag) {
                accept(listener);
                continue;
            }
            const int index = int(events[i].data.u64);
            if (slots[std::size_t(index)].fd >= 0 && (events[i].events & EPOLLOUT))
                flush(index);
            if (slots[std::size_t(index)].fd >= 0 &&
                (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                readFrom(index);
        }
        // One send per socket for everything this turn produced.
        for (const int index : dirtyList) {
            Slot &slot = slots[std::size_t(index)];
            slot.dirty = false;
            if (slot.fd >= 0 && !slot.writeWatched)
                flush(index);
            else if (slot.output.size() > OutputCap)
                closeSlot(index);
        }
        dirtyList.clear();
    }
}
