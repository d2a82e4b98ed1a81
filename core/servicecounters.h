#pragma once

#include <QtGlobal>

#include <array>
#include <chrono>

#ifdef TARNWICK_NO_COUNTERS
// A count that stays 0: a build that measures what counting costs.
struct Tally
{
    void operator++() {}
    void operator+=(quint64) {}
    operator quint64() const { return 0; }
};
#else
using Tally = quint64;
#endif

// What both services have done since the start, for monitoring. Touched only
// on the services' thread, on the relay path too: plain integers, and each
// count one add. Nothing here names a user, an address or a client's text.
struct ServiceCounters
{
#ifdef TARNWICK_NO_COUNTERS
    static constexpr bool Enabled = false;
#else
    static constexpr bool Enabled = true;
#endif
    // A connection closed at accept, and why.
    enum class Refusal
    {
        Limit,        // connectionsPerAddress
        NewPerMinute, // newConnectionsPerMinute
        Banned,       // a banned address, at its first line or its time
        Full,         // all entries taken
        Count
    };
    // Chat keywords counted together.
    enum class Traffic
    {
        Public,
        Private,
        Presence,
        Moderation,
        Other,
        Count
    };

    // The time from a line's arrival to the end of its handling (its last
    // send queued), in buckets whose upper bounds are these.
    static constexpr std::array<std::chrono::nanoseconds, 13> LagBounds = {
        std::chrono::microseconds(100),  std::chrono::microseconds(250),
        std::chrono::microseconds(500),  std::chrono::milliseconds(1),
        std::chrono::microseconds(2500), std::chrono::milliseconds(5),
        std::chrono::milliseconds(10),   std::chrono::milliseconds(25),
        std::chrono::milliseconds(50),   std::chrono::milliseconds(100),
        std::chrono::milliseconds(250),  std::chrono::milliseconds(500),
        std::chrono::seconds(1)};

    void observeLag(std::chrono::nanoseconds lag)
    {
        if constexpr (!Enabled)
            return;
        std::size_t bucket = 0;
        while (bucket < LagBounds.size() && lag > LagBounds[bucket])
            ++bucket;
        ++lagBuckets[bucket];
        lagSum += lag;
    }

    Tally accepted{};
    std::array<Tally, std::size_t(Refusal::Count)> refused{};
    Tally linesReceived{};
    Tally linesSent{};
    Tally bytesReceived{};
    Tally bytesSent{};
    // Public messages sent on to the room.
    Tally messagesRelayed{};
    std::array<Tally, std::size_t(Traffic::Count)> messages{};
    Tally joins{};
    Tally leaves{};
    Tally kicks{};
    Tally bans{};
    Tally floodSlowed{};
    Tally loginSuccesses{};
    Tally loginFailures{};
    Tally registrationsAccepted{};
    Tally registrationsRefused{};
    Tally controlCommands{};
    // Connections dropped because their unsent output passed the cap.
    Tally sendBufferDrops{};
    // The last bucket is above the last bound.
    std::array<Tally, LagBounds.size() + 1> lagBuckets{};
    std::chrono::nanoseconds lagSum{0};
};
