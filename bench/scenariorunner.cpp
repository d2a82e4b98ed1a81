#include "scenariorunner.h"

#include "measuredprocess.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <thread>

namespace {
constexpr std::int64_t Second = 1'000'000'000;

std::string printable(std::string_view line)
{
    std::string text;
    for (char c : line.substr(0, 160)) {
        if (c == '\t')
            text += "\\t";
        else if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

double percentile(std::vector<std::int64_t> &values, double fraction)
{
    if (values.empty())
        return -1;
    const std::size_t index =
        std::min(values.size() - 1, std::size_t(fraction * double(values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(index), values.end());
    return double(values[index]) / 1e6;
}
} // namespace

ScenarioRunner::ScenarioRunner(const Dialect &dialect, unsigned short port, MeasuredProcess &server,
                               const SessionOptions &options)
    : m_dialect(dialect), m_port(port), m_server(server), m_options(options)
{
}

void ScenarioRunner::fail(const std::string &text)
{
    if (m_failed)
        return;
    m_failed = true;
    m_failure = text;
}

BenchClient &ScenarioRunner::newClient(int index)
{
    const int id = int(m_clients.size());
    m_clients.push_back(std::make_unique<BenchClient>(id));
    m_states.emplace_back();
    m_states.back().nick = Dialect::nick(index);
    BenchClient &client = *m_clients.back();
    if (!client.startConnect(m_port)) {
        fail("connect to port " + std::to_string(m_port) + " failed");
        return client;
    }
    m_poll.add(client);
    if (client.isConnected())
        onConnected(client);
    return client;
}

void ScenarioRunner::onConnected(BenchClient &client)
{
    if (m_phase == Phase::Join || m_phase == Phase::JoinAtOnce)
        m_poll.send(client, m_dialect.joinRequest(m_states[std::size_t(client.id())].nick));
}

void ScenarioRunner::onLost(BenchClient &client)
{
    fail("the server dropped client " + m_states[std::size_t(client.id())].nick);
    client.close();
}

void ScenarioRunner::onLine(BenchClient &client, std::string_view line)
{
    ClientState &state = m_states[std::size_t(client.id())];
    m_lastActivityNs = EventPoll::nowNs();
    const std::string pong = m_dialect.pingReply(line);
    if (!pong.empty()) {
        m_poll.send(client, pong);
        return;
    }
    switch (m_phase) {
    case Phase::Quiet:
        return;
    case Phase::Join:
        if (!state.joined && m_dialect.isOwnJoin(line, state.nick)) {
            state.joined = true;
            if (client.id() == 0 && m_dialect.kind() == Dialect::Kind::Irc)
                m_senderSource = Dialect::ircSourceFromJoin(line);
        }
        return;
    case Phase::SenderSetup:
        if (client.id() == 0 && m_dialect.isSenderSetupDone(line, state.nick))
            m_senderReady = true;
        return;
    case Phase::Relay:
        checkRelayed(client, state, line);
        return;
    case Phase::JoinAtOnce:
        if (!state.joined && m_dialect.isOwnJoin(line, state.nick))
            state.joined = true;
        m_dialect.collectMembers(line, state.members);
        if (!state.knowsEveryone && state.members.size() >= std::size_t(m_options.clients)) {
            std::set<std::string> distinct(state.members.begin(), state.members.end());
            state.knowsEveryone = distinct.size() >= std::size_t(m_options.clients);
        }
        return;
    }
}

void ScenarioRunner::checkRelayed(BenchClient &client, ClientState &state, std::string_view line)
{
    const std::size_t size = m_heardPrefix.size() + Dialect::BodySize + m_heardSuffix.size();
    std::uint64_t sequence = 0;
    std::int64_t sentNs = 0;
    if (line.size() != size || line.substr(0, m_heardPrefix.size()) != m_heardPrefix ||
        line.substr(size - m_heardSuffix.size()) != m_heardSuffix ||
        !Dialect::readBody(line.substr(m_heardPrefix.size(), Dialect::BodySize), sequence,
                           sentNs)) {
        fail(state.nick + " got an unexpected line: " + printable(line));
        return;
    }
    if (sequence != state.nextSequence) {
        fail(state.nick + " expected message " + std::to_string(state.nextSequence) + " but got " +
             std::to_string(sequence));
        return;
    }
    ++state.nextSequence;
    ++m_checkedDeliveries;
    const std::int64_t now = m_lastActivityNs;
    if (m_latencies && sentNs > 0 && client.id() != 0)
        m_latencies->push_back(now - sentNs);
    if (state.nextSequence == state.targetSequence && --m_relayPending == 0)
        m_lastDeliveryNs = now;
}

bool ScenarioRunner::runUntil(std::int64_t deadlineNs, const char *what,
                              bool (ScenarioRunner::*done)() const)
{
    while (!m_failed && !(this->*done)()) {
        if (EventPoll::nowNs() > deadlineNs) {
            fail(std::string("timed out waiting for ") + what);
            break;
        }
        m_poll.pollOnce(10, *this);
    }
    return !m_failed;
}

void ScenarioRunner::waitQuiet(int quietMs, int maxMs)
{
    const Phase previous = m_phase;
    m_phase = Phase::Quiet;
    const std::int64_t start = EventPoll::nowNs();
    m_lastActivityNs = start;
    while (!m_failed) {
        const std::int64_t now = EventPoll::nowNs();
        if (now - m_lastActivityNs > std::int64_t(quietMs) * 1'000'000 ||
            now - start > std::int64_t(maxMs) * 1'000'000)
            break;
        m_poll.pollOnce(5, *this);
    }
    m_phase = previous;
}

bool ScenarioRunner::everyoneJoined() const
{
    for (std::size_t i = std::size_t(m_joinBase); i < m_states.size(); ++i) {
        if (!m_states[i].joined)
            return false;
    }
    return true;
}

bool ScenarioRunner::someoneKnowsEveryone() const
{
    if (!everyoneJoined())
        return false;
    for (std::size_t i = std::size_t(m_joinBase); i < m_states.size(); ++i) {
        if (m_states[i].knowsEveryone)
            return true;
    }
    return false;
}

bool ScenarioRunner::joinOneByOne(double *elapsedMs)
{
    const std::int64_t start = EventPoll::nowNs();
    m_phase = Phase::Join;
    m_joinBase = 0;
    for (int i = 0; i < m_options.clients && !m_failed; ++i) {
        newClient(i);
        runUntil(EventPoll::nowNs() + 60 * Second, "a client to join",
                 &ScenarioRunner::everyoneJoined);
    }
    *elapsedMs = double(EventPoll::nowNs() - start) / 1e6;
    return !m_failed;
}

bool ScenarioRunner::setUpSender()
{
    const std::string setup = m_dialect.senderSetup(m_states[0].nick);
    m_senderReady = setup.empty();
    if (!m_senderReady) {
        m_phase = Phase::SenderSetup;
        m_poll.send(*m_clients[0], setup);
        runUntil(EventPoll::nowNs() + 5 * Second, "the sender's flood exemption (OPER, MODE +F)",
                 &ScenarioRunner::senderReady);
    }
    m_heardPrefix = m_dialect.heardPrefix(m_states[0].nick, m_senderSource);
    m_heardSuffix = m_dialect.heardSuffix();
    if (m_dialect.kind() == Dialect::Kind::Irc && m_senderSource.empty())
        fail("the sender's JOIN line was not seen");
    return !m_failed;
}

std::int64_t ScenarioRunner::relay(std::uint64_t count, int rate,
                                   std::vector<std::int64_t> *latencies)
{
    const std::uint64_t first = m_nextSequence;
    m_relayPending = 0;
    for (std::size_t id = 0; id < m_states.size(); ++id) {
        ClientState &state = m_states[id];
        if (!m_clients[id]->isOpen())
            continue;
        state.nextSequence = first;
        state.targetSequence = first + count;
        if (id != 0 || m_dialect.speakerHearsItself())
            ++m_relayPending;
        else
            state.nextSequence = state.targetSequence; // IRC: the speaker hears nothing
    }
    m_latencies = latencies;
    m_phase = Phase::Relay;
    BenchClient &sender = *m_clients[0];
    const std::string &nick = m_states[0].nick;
    const std::string probe = m_dialect.sayLine(nick, std::string(Dialect::BodySize, 'x'));
    const std::size_t bodyOffset = probe.find('x');
    const std::int64_t start = EventPoll::nowNs();
    const std::int64_t deadline = start + std::int64_t(count / 2000 + 60) * Second;
    std::string line = probe;
    if (rate <= 0) {
        std::string all;
        all.reserve(probe.size() * count);
        for (std::uint64_t k = 0; k < count; ++k) {
            Dialect::writeBody(line.data() + bodyOffset, first + k, 0);
            all += line;
        }
        m_poll.send(sender, all);
        runUntil(deadline, "every listener to receive every message", &ScenarioRunner::relayDone);
    } else {
        std::uint64_t sent = 0;
        while (!m_failed && !relayDone()) {
            const std::int64_t now = EventPoll::nowNs();
            if (now > deadline) {
                fail("timed out waiting for the paced messages");
                break;
            }
            const std::uint64_t due =
                std::min<std::uint64_t>(count, std::uint64_t((now - start) * rate / Second) + 1);
            while (sent < due) {
                Dialect::writeBody(line.data() + bodyOffset, first + sent, EventPoll::nowNs());
                m_poll.send(sender, line);
                ++sent;
            }
            std::int64_t timeoutNs = 10'000'000;
            if (sent < count) {
                const std::int64_t next = start + std::int64_t(sent) * Second / rate;
                timeoutNs = std::max<std::int64_t>(0, next - EventPoll::nowNs());
            }
            m_poll.pollOnceNs(timeoutNs, *this);
        }
    }
    m_latencies = nullptr;
    m_nextSequence = first + count;
    m_phase = Phase::Quiet;
    return m_failed ? -1 : m_lastDeliveryNs - start;
}

void ScenarioRunner::closeAll()
{
    for (auto &client : m_clients) {
        m_poll.remove(*client);
        client->close();
    }
}

bool ScenarioRunner::joinAllAtOnce(double *elapsedMs)
{
    closeAll();
    // Let the server see every close before the newcomers arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    m_phase = Phase::JoinAtOnce;
    m_joinBase = int(m_clients.size());
    const std::int64_t start = EventPoll::nowNs();
    for (int i = 0; i < m_options.clients && !m_failed; ++i)
        newClient(i);
    runUntil(start + 20 * Second, "all clients joining at once",
             &ScenarioRunner::someoneKnowsEveryone);
    *elapsedMs = double(EventPoll::nowNs() - start) / 1e6;
    m_phase = Phase::Quiet;
    return !m_failed;
}

SessionResult ScenarioRunner::run()
{
    SessionResult result;
    result.rssIdleKb = m_server.residentKb();
    double joinMs = 0;
    if (joinOneByOne(&joinMs) && setUpSender()) {
        result.joinSequentialMs = joinMs;
        waitQuiet(200, 5000);
        result.rssJoinedKb = m_server.residentKb();
    }
    if (!m_failed) {
        const std::int64_t cpuBefore = m_server.cpuNs();
        const std::int64_t onCpuBefore = m_server.onCpuNs();
        const std::int64_t ns = relay(m_options.fanOutMessages, 0, nullptr);
        const std::int64_t cpuAfter = m_server.cpuNs();
        const std::int64_t onCpuAfter = m_server.onCpuNs();
        if (ns > 0) {
            const double messages = double(m_options.fanOutMessages);
            if (cpuBefore >= 0 && cpuAfter >= 0)
                result.fanOutCpuMicrosecondsPerMessage =
                    double(cpuAfter - cpuBefore) / 1e3 / messages;
            if (onCpuBefore >= 0 && onCpuAfter >= 0)
                result.fanOutOnCpuMicrosecondsPerMessage =
                    double(onCpuAfter - onCpuBefore) / 1e3 / messages;
            const int listeners = m_options.clients - 1;
            result.fanOutMessagesPerSecond = messages * 1e9 / double(ns);
            result.fanOutDeliveriesPerSecond = result.fanOutMessagesPerSecond * listeners;
            waitQuiet(200, 5000);
            result.rssAfterFanOutKb = m_server.residentKb();
        }
    }
    if (!m_failed && m_options.memoryMessages > m_options.fanOutMessages) {
        std::uint64_t done = m_options.fanOutMessages;
        while (!m_failed && done < m_options.memoryMessages) {
            const std::uint64_t batch =
                std::min(m_options.fanOutMessages, m_options.memoryMessages - done);
            relay(batch, 0, nullptr);
            done += batch;
        }
        waitQuiet(200, 5000);
        result.rssAfterMemoryRunKb = m_server.residentKb();
    }
    for (const LatencyRun &run : m_options.latencyRuns) {
        result.latency.emplace_back();
        if (m_failed || run.messages <= 0)
            continue;
        std::vector<std::int64_t> latencies;
        latencies.reserve(std::size_t(run.messages) * std::size_t(m_options.clients));
        if (relay(std::uint64_t(run.messages), run.rate, &latencies) > 0) {
            result.latency.back().p50Ms = percentile(latencies, 0.50);
            result.latency.back().p99Ms = percentile(latencies, 0.99);
            result.latency.back().maxMs = percentile(latencies, 1.0);
        }
        waitQuiet(100, 2000);
    }
    if (!m_failed && m_options.joinAtOnce) {
        double elapsed = 0;
        if (joinAllAtOnce(&elapsed))
            result.joinAtOnceMs = elapsed;
        waitQuiet(200, 5000);
        result.rssAfterRunsKb = m_server.residentKb();
    }
    closeAll();
    result.relayedMessages = m_nextSequence;
    result.checkedDeliveries = m_checkedDeliveries;
    result.ok = !m_failed;
    result.failure = m_failure;
    return result;
}
