#pragma once

#include "core/upgradesnapshot.h"

#include <QtGlobal>

#include <chrono>

// Flood control of one chat connection by delay: a burst of lines, then a
// steady rate. Lines beyond it are not dropped; the service keeps them framed
// and asks again when `retryAfter` has passed, so the sender is slowed and
// the room is not. Moderators are not slowed.
class FloodGate
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    enum class Sender
    {
        User,
        Moderator
    };

    struct Grant
    {
        qsizetype lines = 0;    // may be handled now, from the front
        Duration retryAfter{};  // when some were held back: ask again after this
        bool slowedNow = false; // the first hold-back of an episode: log it once
    };

    // Either count 0 turns flood control off.
    FloodGate(int burst, int linesPerSecond);

    // Takes up to `waiting` lines out of the allowance.
    Grant grant(qsizetype waiting, TimePoint now, Sender sender);
    // Lines have been held back, and the full burst was not back when last asked.
    bool isSlowing() const { return m_slowed; }

    // Carried across an upgrade, relative to `now`.
    UpgradeSnapshot::FloodState state(TimePoint now) const;
    void restore(const UpgradeSnapshot::FloodState &state, TimePoint now);

private:
    void refill(TimePoint now);

    qsizetype m_burst;
    Duration m_interval{}; // one line's worth of time
    qsizetype m_available;
    TimePoint m_counted{}; // time up to which the allowance is counted
    bool m_started = false;
    bool m_slowed = false; // in an episode until the full burst is back
};
