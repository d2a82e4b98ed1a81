#include "scenariorunner.h"

#include "measuredprocess.h"
#include "rawclient.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/epoll.h>
#include <unistd.h>

namespace {
constexpr std::int64_t Second = 1'000'000'000;

std::string printable(std::string_view line)
{
    std::string text;
    for (const char c : line.substr(0, 160))
        text += c == '\t' ? "\\t" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return text;
}

} // namespace

double percentile(std::vector<std::int64_t> &values, double fraction)
{
    if (values.empty())
        return -1;
    const std::size_t index =
        std::min(values.size() - 1, std::size_t(fraction * double(values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(index), values.end());
    return double(values[index]) / 1e6;
}
std::int64_t nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * Second + now.tv_nsec;
}

ScenarioRunner::ScenarioRunner(const Dialect &dialect, unsigned short port, MeasuredProcess &server,
                               const SessionOptions &options)
    : m_dialect(dialect), m_port(port), m_server(server), m_options(options),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    m_listeners.reserve(std::size_t(options.clients));
}

ScenarioRunner::~ScenarioRunner()
{
    m_listeners.clear();
    ::close(m_epoll);
}

void ScenarioRunner::fail(const std::string &text)
{
    if (m_failure.empty())
        m_failure = text;
}

void ScenarioRunner::join(int index)
{
    Listener &listener = m_listeners.emplace_back();
    listener.client = std::make_unique<RawClient>(RawClient::Mode::Polled);
    listener.nick = Dialect::nick(index);
    if (!listener.client->startConnect(m_port)) {
        fail("connect to port " + std::to_string(m_port) + " failed");
        return;
    }
    // Writable tells when the connect has completed; the join leaves then.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    event.data.u64 = std::uint64_t(index);
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, listener.client->fd(), &event);
    send(std::size_t(index), m_dialect.joinRequest(listener.nick));
}

void ScenarioRunner::send(std::size_t index, std::string_view bytes)
{
    m_listeners[index].client->send(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())));
    watchWrites(index);
}

void ScenarioRunner::watchWrites(std::size_t index)
{
    Listener &listener = m_listeners[index];
    const bool wanted = listener.client->hasUnsent() || listener.client->isConnecting();
    if (!listener.client->isOpen() || listener.writeWatched == wanted)
        return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | (wanted ? EPOLLOUT : 0u);
    event.data.u64 = index;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, listener.client->fd(), &event);
    listener.writeWatched = wanted;
}

void ScenarioRunner::lost(std::size_t index)
{
    fail("the server dropped client " + m_listeners[index].nick);
    m_listeners[index].client->abort();
}

void ScenarioRunner::poll(std::int64_t timeoutNs)
{
    epoll_event events[128];
    const timespec timeout{time_t(timeoutNs / Second), long(timeoutNs % Second)};
    int count = ::epoll_pwait2(m_epoll, events, 128, &timeout, nullptr);
    if (count < 0 && errno == ENOSYS) // a kernel before 5.11
        count = ::epoll_wait(m_epoll, events, 128, int((timeoutNs + 999'999) / 1'000'000));
    for (int i = 0; i < count; ++i) {
        const std::size_t index = std::size_t(events[i].data.u64);
        RawClient &client = *m_listeners[index].client;
        if (!client.isOpen())
            continue;
        if ((events[i].events & EPOLLOUT) &&
            ((client.isConnecting() && !client.finishConnect()) || !client.flush())) {
            lost(index);
            continue;
        }
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            client.readAvailable([this, index](QByteArrayView line) {
                onLine(index, std::string_view(line.data(), std::size_t(line.size())));
            });
            if (client.peerEnded()) {
                lost(index);
                continue;
            }
        }
        watchWrites(index);
    }
}

void ScenarioRunner::onLine(std::size_t index, std::string_view line)
{
    Listener &listener = m_listeners[index];
    m_lastActivityNs = nowNs();
    const std::string pong = m_dialect.pingReply(line);
    if (!pong.empty())
        send(index, pong);
    else if (m_phase == Phase::Relay)
        checkRelayed(listener, index, line);
    else if (m_phase == Phase::SenderSetup && index == 0)
        m_senderReady = m_senderReady || m_dialect.isSenderSetupDone(line, listener.nick);
    else if (m_phase == Phase::Join && !listener.joined &&
             m_dialect.isOwnJoin(line, listener.nick)) {
        listener.joined = true;
        if (index == 0 && m_dialect.kind() == Dialect::Kind::Irc)
            m_senderSource = Dialect::ircSourceFromJoin(line);
    }
}

void ScenarioRunner::checkRelayed(Listener &listener, std::size_t index, std::string_view line)
{
    const std::size_t size = m_heardPrefix.size() + Dialect::BodySize + m_heardSuffix.size();
    std::uint64_t sequence = 0;
    std::int64_t sentNs = 0;
    if (line.size() != size || line.substr(0, m_heardPrefix.size()) != m_heardPrefix ||
        line.substr(size - m_heardSuffix.size()) != m_heardSuffix ||
        !Dialect::readBody(line.substr(m_heardPrefix.size(), Dialect::BodySize), sequence,
                           sentNs)) {
        fail(listener.nick + " got an unexpected line: " + printable(line));
        return;
    }
    if (sequence != listener.nextSequence) {
        fail(listener.nick + " expected message " + std::to_string(listener.nextSequence) +
             " but got " + std::to_string(sequence));
        return;
    }
    ++listener.nextSequence;
    ++m_checkedDeliveries;
    if (m_latencies && sentNs > 0 && index != 0)
        m_latencies->push_back(m_lastActivityNs - sentNs);
    if (listener.nextSequence == listener.targetSequence && --m_relayPending == 0)
        m_lastDeliveryNs = m_lastActivityNs;
}

template <typename Done>
bool ScenarioRunner::runUntil(std::int64_t deadlineNs, const char *what, Done done)
{
    while (m_failure.empty() && !done()) {
        if (nowNs() > deadlineNs)
            fail(std::string("timed out waiting for ") + what);
        poll(10'000'000);
    }
    return m_failure.empty();
}

void ScenarioRunner::waitQuiet(int quietMs, int maxMs)
{
    const Phase previous = m_phase;
    m_phase = Phase::Quiet;
    const std::int64_t start = m_lastActivityNs = nowNs();
    while (m_failure.empty() && nowNs() - m_lastActivityNs < quietMs * 1'000'000ll &&
           nowNs() - start < maxMs * 1'000'000ll)
        poll(5'000'000);
    m_phase = previous;
}

bool ScenarioRunner::setUpSender()
{
    const std::string setup = m_dialect.senderSetup(m_listeners[0].nick);
    m_senderReady = setup.empty();
    if (!m_senderReady) {
        m_phase = Phase::SenderSetup;
        send(0, setup);
        runUntil(nowNs() + 5 * Second, "the sender's flood exemption (RequestOP; OPER, +F)",
                 [this] { return m_senderReady; });
    }
    m_heardPrefix = m_dialect.heardPrefix(m_listeners[0].nick, m_senderSource);
    m_heardSuffix = m_dialect.heardSuffix();
    if (m_dialect.kind() == Dialect::Kind::Irc && m_senderSource.empty())
        fail("the sender's JOIN line was not seen");
    return m_failure.empty();
}

std::int64_t ScenarioRunner::relay(std::uint64_t count, int rate,
                                   std::vector<std::int64_t> *latencies)
{
    const std::uint64_t first = m_nextSequence;
    m_relayPending = 0;
    for (std::size_t index = 0; index < m_listeners.size(); ++index) {
        Listener &listener = m_listeners[index];
        listener.nextSequence = first;
        listener.targetSequence = first + count;
        if (index != 0 || m_dialect.speakerHearsItself())
            ++m_relayPending;
        else
            listener.nextSequence = listener.targetSequence; // IRC: the speaker hears nothing
    }
    m_latencies = latencies;
    m_phase = Phase::Relay;
    std::string line = m_dialect.sayLine(m_listeners[0].nick, std::string(Dialect::BodySize, 'x'));
    const std::size_t bodyOffset = line.find('x');
    const std::int64_t start = nowNs();
    const std::int64_t deadline = start + std::int64_t(count / 2000 + 60) * Second;
    if (rate <= 0) {
        std::string all;
        all.reserve(line.size() * count);
        for (std::uint64_t k = 0; k < count; ++k) {
            Dialect::writeBody(line.data() + bodyOffset, first + k, 0);
            all += line;
        }
        send(0, all);
        runUntil(deadline, "every listener to receive every message",
                 [this] { return m_relayPending == 0; });
    } else {
        std::uint64_t sent = 0;
        while (m_failure.empty() && m_relayPending > 0) {
            const std::int64_t now = nowNs();
            if (now > deadline)
                fail("timed out waiting for the paced messages");
            const std::uint64_t due =
                std::min<std::uint64_t>(count, std::uint64_t((now - start) * rate / Second) + 1);
            for (; sent < due; ++sent) {
                Dialect::writeBody(line.data() + bodyOffset, first + sent, nowNs());
                send(0, line);
            }
            std::int64_t timeoutNs = 10'000'000;
            if (sent < count)
                timeoutNs =
                    std::max<std::int64_t>(0, start + std::int64_t(sent) * Second / rate - nowNs());
            poll(timeoutNs);
        }
    }
    m_latencies = nullptr;
    m_nextSequence = first + count;
    m_phase = Phase::Quiet;
    return m_failure.empty() ? m_lastDeliveryNs - start : -1;
}

SessionResult ScenarioRunner::run()
{
    SessionResult result;
    const std::int64_t joinStart = nowNs();
    m_phase = Phase::Join;
    for (int i = 0; i < m_options.clients && m_failure.empty(); ++i) {
        join(i);
        runUntil(nowNs() + 60 * Second, "a client to join",
                 [this] { return m_listeners.back().joined; });
    }
    if (m_failure.empty())
        result.joinMs = double(nowNs() - joinStart) / 1e6;
    if (setUpSender())
        waitQuiet(200, 5000);
    if (m_failure.empty()) {
        const std::int64_t cpuBefore = m_server.cpuNs();
        const std::int64_t ns = relay(m_options.fanOutMessages, 0, nullptr);
        const std::int64_t cpuAfter = m_server.cpuNs();
        const double messages = double(m_options.fanOutMessages);
        if (ns > 0)
            result.messagesPerSecond = messages * 1e9 / double(ns);
        if (ns > 0 && cpuBefore >= 0 && cpuAfter >= 0)
            result.cpuMicrosecondsPerMessage = double(cpuAfter - cpuBefore) / 1e3 / messages;
        waitQuiet(200, 5000);
    }
    for (const LatencyRun &run : m_options.latencyRuns) {
        result.latency.emplace_back();
        if (!m_failure.empty() || run.messages <= 0)
            continue;
        std::vector<std::int64_t> latencies;
        latencies.reserve(std::size_t(run.messages) * std::size_t(m_options.clients));
        if (relay(std::uint64_t(run.messages), run.rate, &latencies) > 0) {
            result.latency.back().p50Ms = percentile(latencies, 0.50);
            result.latency.back().p99Ms = percentile(latencies, 0.99);
        }
        waitQuiet(100, 2000);
    }
    m_listeners.clear();
    result.checkedDeliveries = m_checkedDeliveries;
    result.ok = m_failure.empty();
    result.failure = m_failure;
    return result;
}
