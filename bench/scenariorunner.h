#pragma once

#include "benchclient.h"
#include "dialect.h"
#include "eventpoll.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MeasuredProcess;

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
    std::uint64_t memoryMessages = 200'000; // 0: no memory run
    std::vector<LatencyRun> latencyRuns = {{1000, 5000}, {10'000, 20'000}};
    bool joinAtOnce = true;
};

struct LatencyResult
{
    double p50Ms = -1;
    double p99Ms = -1;
    double maxMs = -1;
};

// What one session against one server measured. Negative: not measured.
struct SessionResult
{
    bool ok = true;
    std::string failure;
    double joinSequentialMs = -1;
    double fanOutMessagesPerSecond = -1;
    double fanOutDeliveriesPerSecond = -1;
    double fanOutCpuMicrosecondsPerMessage = -1;
    double fanOutOnCpuMicrosecondsPerMessage = -1; // the scheduler's count
    std::vector<LatencyResult> latency;            // by SessionOptions::latencyRuns
    double joinAtOnceMs = -1;
    long rssIdleKb = -1;
    long rssJoinedKb = -1;
    long rssAfterFanOutKb = -1;
    long rssAfterMemoryRunKb = -1;
    long rssAfterRunsKb = -1;
    std::uint64_t relayedMessages = 0;
    std::uint64_t checkedDeliveries = 0;
};

// Drives one running server through the scenarios, in this order: idle
// memory, joining the clients one after another (timed), fan-out throughput,
// the long memory run, paced latency at each rate, and all clients joining at
// once. Every
// relayed line is checked byte for byte and in order at every listener; any
// loss, reordering or change fails the session.
class ScenarioRunner : public PollHandler
{
public:
    ScenarioRunner(const Dialect &dialect, unsigned short port, MeasuredProcess &server,
                   const SessionOptions &options);

    SessionResult run();

    void onConnected(BenchClient &client) override;
    void onLine(BenchClient &client, std::string_view line) override;
    void onLost(BenchClient &client) override;

private:
    enum class Phase
    {
        Quiet,
        Join,
        SenderSetup,
        Relay,
        JoinAtOnce
    };

    struct ClientState
    {
        std::string nick;
        bool joined = false;
        std::uint64_t nextSequence = 0;
        std::uint64_t targetSequence = 0;
        std::vector<std::string> members;
        bool knowsEveryone = false;
    };

    BenchClient &newClient(int index);
    bool joinOneByOne(double *elapsedMs);
    bool setUpSender();
    // Sends `count` lines from client 0; rate 0 sends them as fast as TCP
    // takes them. Returns the nanoseconds from the first send to the last
    // delivery, or -1 on failure.
    std::int64_t relay(std::uint64_t count, int rate, std::vector<std::int64_t> *latencies);
    bool joinAllAtOnce(double *elapsedMs);
    void waitQuiet(int quietMs, int maxMs);
    bool runUntil(std::int64_t deadlineNs, const char *what, bool (ScenarioRunner::*done)() const);
    bool everyoneJoined() const;
    bool senderReady() const { return m_senderReady; }
    bool relayDone() const { return m_relayPending == 0; }
    bool someoneKnowsEveryone() const;
    void fail(const std::string &text);
    void closeAll();
    void checkRelayed(BenchClient &client, ClientState &state, std::string_view line);

    Dialect m_dialect;
    unsigned short m_port;
    MeasuredProcess &m_server;
    SessionOptions m_options;
    EventPoll m_poll;
    std::vector<std::unique_ptr<BenchClient>> m_clients;
    std::vector<ClientState> m_states; // by client id
    Phase m_phase = Phase::Quiet;
    bool m_failed = false;
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
    int m_joinBase = 0;
    std::uint64_t m_checkedDeliveries = 0;
};
