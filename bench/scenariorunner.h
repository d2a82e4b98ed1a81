#pragma once

#include "dialect.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class MeasuredProcess;
class RawClient;

// One paced run: `messages` lines from one sender at `rate` per second.
struct LatencyRun
{
    int rate;
    int messages;
};

struct SessionOptions
{
    int clients = 50;
    // Long enough that the server's CPU time, counted in 10 ms ticks, is
    // known to a few per cent even for the ceiling.
    std::uint64_t fanOutMessages = 100'000;
    std::vector<LatencyRun> latencyRuns = {{1000, 5000}, {10'000, 20'000}};
};

struct LatencyResult
{
    double p50Ms = -1;
    double p99Ms = -1;
};

// What one session against one server measured. Negative: not measured.
struct SessionResult
{
    bool ok = true;
    std::string failure;
    double joinMs = -1;
    double messagesPerSecond = -1;
    double cpuMicrosecondsPerMessage = -1;
    std::vector<LatencyResult> latency; // by SessionOptions::latencyRuns
    std::uint64_t checkedDeliveries = 0;
};

// Drives one running server through the scenarios, in this order: the
// clients joining one after another (timed), fan-out of one sender's lines as
// fast as TCP takes them, then paced lines at each rate. Every relayed line is
// checked byte for byte and in order at every listener; any loss, reordering
// or change fails the session. One thread and one epoll set; every client is
// read a bounded amount per wakeup, so none starves the others.
class ScenarioRunner
{
public:
    ScenarioRunner(const Dialect &dialect, unsigned short port, MeasuredProcess &server,
                   const SessionOptions &options);
    ~ScenarioRunner();

    SessionResult run();

private:
    enum class Phase
    {
        Quiet,
        Join,
        SenderSetup,
        Relay
    };

    struct Listener
    {
        std::unique_ptr<RawClient> client;
        std::string nick;
        bool joined = false;
        bool writeWatched = true;
        std::uint64_t nextSequence = 0;
        std::uint64_t targetSequence = 0;
    };

    void join(int index);
    bool setUpSender();
    // Sends `count` lines from client 0, at `rate` per second or, at 0, as
    // fast as TCP takes them. Returns the nanoseconds from the first send to
    // the last delivery, or -1 on failure.
    std::int64_t relay(std::uint64_t count, int rate, std::vector<std::int64_t> *latencies);
    void waitQuiet(int quietMs, int maxMs);
    template <typename Done> bool runUntil(std::int64_t deadlineNs, const char *what, Done done);
    void poll(std::int64_t timeoutNs);
    void send(std::size_t index, std::string_view bytes);
    void watchWrites(std::size_t index);
    void onLine(std::size_t index, std::string_view line);
    void checkRelayed(Listener &listener, std::size_t index, std::string_view line);
    void lost(std::size_t index);
    void fail(const std::string &text);

    Dialect m_dialect;
    unsigned short m_port;
    MeasuredProcess &m_server;
    SessionOptions m_options;
    int m_epoll;
    std::vector<Listener> m_listeners;
    Phase m_phase = Phase::Quiet;
    std::string m_failure;
    bool m_senderReady = false;
    std::string m_senderSource; // IRC: the sender's prefix on relayed lines
    std::string m_heardPrefix;
    std::string m_heardSuffix;
    std::uint64_t m_nextSequence = 0;
    int m_relayPending = 0;
    std::int64_t m_lastDeliveryNs = 0;
    std::int64_t m_lastActivityNs = 0;
    std::vector<std::int64_t> *m_latencies = nullptr;
    std::uint64_t m_checkedDeliveries = 0;
};

std::int64_t nowNs();
// The value at `fraction` (0.99: p99) in milliseconds; -1 for none. Reorders `values`.
double percentile(std::vector<std::int64_t> &values, double fraction);
