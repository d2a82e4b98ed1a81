#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

class BenchClient;

// What a scenario does with the events of its connections.
class PollHandler
{
public:
    virtual ~PollHandler() = default;
    virtual void onConnected(BenchClient &) {}
    virtual void onLine(BenchClient &client, std::string_view line) = 0;
    // The peer closed the connection or it failed.
    virtual void onLost(BenchClient &client) = 0;
};

// One epoll set over the load generator's connections. Everything runs on
// one thread; reading is bounded per wakeup so no socket starves the others.
class EventPoll
{
public:
    EventPoll();
    ~EventPoll();
    EventPoll(const EventPoll &) = delete;
    EventPoll &operator=(const EventPoll &) = delete;

    // Watches a client whose connect was started.
    void add(BenchClient &client);
    void remove(BenchClient &client);
    // Queues bytes on the client and sends what the socket takes now.
    void send(BenchClient &client, std::string_view bytes);

    // Waits at most timeoutMs for events and handles all that came.
    void pollOnce(int timeoutMs, PollHandler &handler);
    // The same with a finer timeout, for pacing senders faster than 1 per ms.
    void pollOnceNs(std::int64_t timeoutNs, PollHandler &handler);

    static std::int64_t nowNs();

private:
    void setWriteInterest(BenchClient &client, bool wanted);
    void handleWritable(BenchClient &client, PollHandler &handler);
    void handle(const struct epoll_event *events, int count, PollHandler &handler);

    int m_epoll;
    std::vector<bool> m_writeArmed; // by client id
};
