// The benchmark's ceiling: the least a relay of the chat lines the benchmark
// uses can cost on this machine. One thread, one epoll set, non-blocking
// sockets, 50 slots, no log, no window, no yields; every line a turn produces
// for a socket leaves with one send at the end of that turn.
//
//   in:   Name TAB name CR LF
//   out:  MOTD TAB motd CR LF, GETPROFILE TAB name TAB CR LF, then slot by slot
//         ADDUSER TAB row CR LF (to the newcomer, for every other listed name)
//         and ADDUSER TAB name CR LF (to every connection, the newcomer's own too)
//   in:   Message TAB label TAB text CR LF
//   out:  Message TAB label TAB text TAB CR LF to every connection
// A taken name (letter case ignored) gets DOUBLE CR LF and the connection is
// closed. Every other line is ignored.
//
// usage: tarnwick-ceiling --port N [--motd-file PATH]

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Slots = 50;
constexpr std::size_t ReadSize = 64 * 1024;
constexpr int ReadsPerTurn = 4;
constexpr std::size_t InputCap = 1024 * 1024;
constexpr std::size_t OutputCap = 4 * 1024 * 1024;
constexpr std::uint64_t ListenerTag = ~std::uint64_t(0);

struct Slot
{
    int fd = -1;
    std::string input;  // the unfinished line
    std::string output; // what this turn produced, plus what the system did not take
    bool dirty = false;
    bool writeArmed = false;
    std::string name; // empty until a Name line passes
};

std::array<Slot, Slots> slots;
std::vector<int> dirtyList;
int epollFd = -1;
std::string motdLine;

std::string upper(std::string_view text)
{
    std::string result(text);
    for (char &c : result) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return result;
}

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
    if (slot.fd < 0)
        return;
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, slot.fd, nullptr);
    ::close(slot.fd);
    slot.fd = -1;
    slot.input.clear();
    slot.output.clear();
    slot.name.clear();
    slot.writeArmed = false;
}

void setWriteInterest(int index, bool wanted)
{
    Slot &slot = slots[std::size_t(index)];
    if (slot.writeArmed == wanted)
        return;
    epoll_event event{};
    event.events = EPOLLIN | (wanted ? EPOLLOUT : 0u);
    event.data.u64 = std::uint64_t(index);
    ::epoll_ctl(epollFd, EPOLL_CTL_MOD, slot.fd, &event);
    slot.writeArmed = wanted;
}

// Sends what the slot holds, as far as the system takes it now.
void flush(int index)
{
    Slot &slot = slots[std::size_t(index)];
    std::size_t sent = 0;
    while (slot.fd >= 0 && sent < slot.output.size()) {
        const ssize_t n = ::send(slot.fd, slot.output.data() + sent, slot.output.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closeSlot(index);
        return;
    }
    if (slot.fd < 0)
        return;
    slot.output.erase(0, sent);
    if (slot.output.size() > OutputCap) {
        closeSlot(index); // a listener that does not read is dropped
        return;
    }
    setWriteInterest(index, !slot.output.empty());
}

void onName(int s, std::string_view name)
{
    const std::string wanted = upper(name);
    for (const Slot &slot : slots) {
        if (slot.fd >= 0 && !slot.name.empty() && upper(slot.name) == wanted) {
            queue(s, "DOUBLE\r\n");
            flush(s);
            closeSlot(s);
            return;
        }
    }
    Slot &self = slots[std::size_t(s)];
    self.name.assign(name);
    queue(s, motdLine);
    std::string line = "GETPROFILE\t";
    line.append(name).append("\t\r\n");
    queue(s, line);
    const std::string added = "ADDUSER\t" + self.name + "\r\n";
    for (int i = 0; i < Slots; ++i) {
        const Slot &other = slots[std::size_t(i)];
        if (i != s && other.fd >= 0 && !other.name.empty())
            queue(s, "ADDUSER\t" + other.name + "\r\n");
        queue(i, added);
    }
}

void onMessage(std::string_view label, std::string_view text)
{
    std::string line;
    line.reserve(label.size() + text.size() + 12);
    line.append("Message\t").append(label).append("\t").append(text).append("\t\r\n");
    for (int i = 0; i < Slots; ++i)
        queue(i, line);
}

void handleLine(int s, std::string_view line)
{
    const std::size_t tab = line.find('\t');
    const std::string_view keyword = line.substr(0, tab);
    if (tab == std::string_view::npos)
        return;
    const std::string_view rest = line.substr(tab + 1);
    const std::size_t tab2 = rest.find('\t');
    const std::string_view field1 = rest.substr(0, tab2);
    if (keyword == "Name") {
        onName(s, field1);
    } else if (keyword == "Message" && tab2 != std::string_view::npos) {
        const std::string_view after = rest.substr(tab2 + 1);
        onMessage(field1, after.substr(0, after.find('\t')));
    }
}

void readFrom(int s)
{
    static char buffer[ReadSize];
    for (int round = 0; round < ReadsPerTurn; ++round) {
        Slot &slot = slots[std::size_t(s)];
        if (slot.fd < 0)
            return;
        const ssize_t n = ::recv(slot.fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeSlot(s);
            return;
        }
        if (n < 0)
            return;
        std::string_view data(buffer, std::size_t(n));
        if (!slot.input.empty()) {
            const std::size_t lf = data.find("\r\n");
            if (lf == std::string_view::npos && !(slot.input.back() == '\r' && data[0] == '\n')) {
                slot.input.append(data);
                if (slot.input.size() > InputCap)
                    closeSlot(s);
                continue;
            }
            // The line that the last read left unfinished.
            const std::size_t end = slot.input.back() == '\r' && data[0] == '\n' ? 1 : lf + 2;
            slot.input.append(data.substr(0, end));
            const std::string line = std::move(slot.input);
            slot.input.clear();
            handleLine(s, std::string_view(line).substr(0, line.size() - 2));
            data.remove_prefix(end);
        }
        for (;;) {
            if (slots[std::size_t(s)].fd < 0)
                return;
            const std::size_t lf = data.find("\r\n");
            if (lf == std::string_view::npos)
                break;
            handleLine(s, data.substr(0, lf));
            data.remove_prefix(lf + 2);
        }
        slots[std::size_t(s)].input.assign(data);
        if (std::size_t(n) < sizeof buffer)
            return;
    }
}

void accept(int listener)
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int index = -1;
        for (int i = 0; i < Slots && index < 0; ++i) {
            if (slots[std::size_t(i)].fd < 0)
                index = i;
        }
        if (index < 0) {
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
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
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
            if (slots[std::size_t(index)].fd < 0)
                continue;
            if (events[i].events & EPOLLOUT)
                flush(index);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                readFrom(index);
        }
        // One send per socket for everything this turn produced.
        for (const int index : dirtyList) {
            Slot &slot = slots[std::size_t(index)];
            slot.dirty = false;
            if (!slot.writeArmed)
                flush(index);
            else if (slot.output.size() > OutputCap)
                closeSlot(index);
        }
        dirtyList.clear();
    }
}
