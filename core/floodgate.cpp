#include "core/floodgate.h"

#include <algorithm>

FloodGate::FloodGate(int burst, int linesPerSecond)
    : m_burst(burst > 0 && linesPerSecond > 0 ? burst : 0), m_available(m_burst)
{
    if (m_burst > 0)
        m_interval = std::chrono::duration_cast<Duration>(std::chrono::seconds{1}) / linesPerSecond;
}

void FloodGate::refill(TimePoint now)
{
    if (!m_started || now <= m_counted) {
        m_started = true;
        m_counted = std::max(m_counted, now);
        return;
    }
    const qsizetype gained = (now - m_counted) / m_interval;
    if (m_available + gained >= m_burst) {
        m_available = m_burst;
        m_counted = now;
        m_slowed = false;
    } else {
        m_available += gained;
        m_counted += gained * m_interval;
    }
}

FloodGate::Grant FloodGate::grant(qsizetype waiting, TimePoint now, Sender sender)
{
    if (m_burst == 0 || sender == Sender::Moderator || waiting <= 0)
        return {waiting, {}, false};
    refill(now);
    Grant result;
    result.lines = std::min(waiting, m_available);
    m_available -= result.lines;
    if (result.lines == waiting)
        return result;
    result.retryAfter = m_interval - (now - m_counted);
    result.slowedNow = !m_slowed;
    m_slowed = true;
    return result;
}

UpgradeSnapshot::FloodState FloodGate::state(TimePoint now) const
{
    return {m_available,
            std::chrono::duration_cast<std::chrono::microseconds>(now - m_counted).count(),
            m_started, m_slowed};
}

void FloodGate::restore(const UpgradeSnapshot::FloodState &state, TimePoint now)
{
    if (m_burst == 0)
        return;
    m_available = std::clamp<qsizetype>(state.available, 0, m_burst);
    m_counted = now - std::chrono::microseconds(std::max<qint64>(state.countedAgoUs, 0));
    m_started = state.started;
    m_slowed = state.slowed;
}
