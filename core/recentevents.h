#pragma once

#include <QList>

#include <chrono>

// The times of the last few events of one kind for one address: enough to
// tell whether `limit` of them fell within a sliding window, and nothing more,
// so a busy address costs at most `limit` time stamps.
class RecentEvents
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    // Forgets the events that left the window ending at `now`.
    void forgetBefore(TimePoint now, Duration window)
    {
        while (!m_times.isEmpty() && now - m_times.constFirst() >= window)
            m_times.removeFirst();
    }
    qsizetype count() const { return m_times.size(); }
    bool isEmpty() const { return m_times.isEmpty(); }
    // Keeps the newest `limit` events.
    void record(TimePoint now, qsizetype limit)
    {
        m_times.append(now);
        while (m_times.size() > limit)
            m_times.removeFirst();
    }
    // Room for one more within `limit` events per `window`.
    bool hasRoom(TimePoint now, Duration window, qsizetype limit)
    {
        forgetBefore(now, window);
        return m_times.size() < limit;
    }

    // How long ago each event was, oldest first, and back (an upgrade).
    QList<qint64> agesMs(TimePoint now) const
    {
        QList<qint64> ages;
        for (const TimePoint time : m_times)
            ages.append(std::chrono::duration_cast<std::chrono::milliseconds>(now - time).count());
        return ages;
    }
    void restore(const QList<qint64> &agesMs, TimePoint now)
    {
        m_times.clear();
        for (const qint64 age : agesMs)
            m_times.append(now - std::chrono::milliseconds(age));
    }

private:
    QList<TimePoint> m_times; // oldest first
};
