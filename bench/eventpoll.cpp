#include "eventpoll.h"

#include "benchclient.h"

#include <cerrno>
#include <ctime>
#include <sys/epoll.h>
#include <unistd.h>

EventPoll::EventPoll() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {}

EventPoll::~EventPoll()
{
    if (m_epoll >= 0)
        ::close(m_epoll);
}

std::int64_t EventPoll::nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void EventPoll::add(BenchClient &client)
{
    if (std::size_t(client.id()) >= m_writeArmed.size())
        m_writeArmed.resize(std::size_t(client.id()) + 1);
    epoll_event event{};
    // Writable tells when a connect in progress has completed.
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    event.data.ptr = &client;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd(), &event);
    m_writeArmed[std::size_t(client.id())] = true;
}

void EventPoll::remove(BenchClient &client)
{
    if (client.fd() >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, client.fd(), nullptr);
}

void EventPoll::setWriteInterest(BenchClient &client, bool wanted)
{
    const std::size_t id = std::size_t(client.id());
    if (m_writeArmed[id] == wanted)
        return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | (wanted ? EPOLLOUT : 0u);
    event.data.ptr = &client;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd(), &event);
    m_writeArmed[id] = wanted;
}

void EventPoll::send(BenchClient &client, std::string_view bytes)
{
    client.queue(bytes);
    if (!client.isConnected())
        return; // leaves once the connect completes
    client.flush();
    setWriteInterest(client, client.hasOutput());
}

void EventPoll::handleWritable(BenchClient &client, PollHandler &handler)
{
    if (!client.isConnected()) {
        if (!client.finishConnect()) {
            remove(client);
            handler.onLost(client);
            return;
        }
        handler.onConnected(client);
        if (!client.isOpen())
            return;
    }
    if (!client.flush()) {
        remove(client);
        handler.onLost(client);
        return;
    }
    setWriteInterest(client, client.hasOutput());
}

void EventPoll::pollOnce(int timeoutMs, PollHandler &handler)
{
    epoll_event events[128];
    handle(events, ::epoll_wait(m_epoll, events, 128, timeoutMs), handler);
}

void EventPoll::pollOnceNs(std::int64_t timeoutNs, PollHandler &handler)
{
    epoll_event events[128];
    const timespec timeout{time_t(timeoutNs / 1'000'000'000), long(timeoutNs % 1'000'000'000)};
    int count = ::epoll_pwait2(m_epoll, events, 128, &timeout, nullptr);
    if (count < 0 && errno == ENOSYS) // a kernel before 5.11
        count = ::epoll_wait(m_epoll, events, 128, int((timeoutNs + 999'999) / 1'000'000));
    handle(events, count, handler);
}

void EventPoll::handle(const epoll_event *events, int count, PollHandler &handler)
{
    for (int i = 0; i < count; ++i) {
        auto &client = *static_cast<BenchClient *>(events[i].data.ptr);
        if (!client.isOpen())
            continue;
        if (events[i].events & EPOLLOUT)
            handleWritable(client, handler);
        if (!client.isOpen() || !client.isConnected())
            continue;
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            const bool alive = client.readLines(
                [&handler, &client](std::string_view line) { handler.onLine(client, line); });
            if (!alive && client.isOpen()) {
                remove(client);
                handler.onLost(client);
            }
        }
    }
}
