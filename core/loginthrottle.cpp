#include "core/loginthrottle.h"

#include <algorithm>

LoginThrottle::LoginThrottle(int failuresBeforeDelay, int registrations)
    : m_failuresBeforeDelay(failuresBeforeDelay), m_registrationLimit(registrations)
{
}

LoginThrottle::Duration LoginThrottle::answerDelay(const QByteArray &address, TimePoint now)
{
    forgetOldEntries(now);
    const auto found = m_failures.constFind(address);
    if (found == m_failures.cend() || now - found->last >= FailureWindow)
        return {};
    return found->delay;
}

void LoginThrottle::failed(const QByteArray &address, TimePoint now)
{
    if (m_failuresBeforeDelay <= 0)
        return;
    forgetOldEntries(now);
    Failures &entry = m_failures[address];
    if (now - entry.last >= FailureWindow)
        entry = Failures{};
    entry.last = now;
    entry.recent.forgetBefore(now, FailureWindow);
    entry.recent.record(now, m_failuresBeforeDelay);
    if (entry.delay > Duration::zero())
        entry.delay = std::min<Duration>(entry.delay * 2, LongestDelay);
    else if (entry.recent.count() >= m_failuresBeforeDelay)
        entry.delay = FirstDelay;
}

void LoginThrottle::succeeded(const QByteArray &address)
{
    m_failures.remove(address);
}

bool LoginThrottle::admitRegistration(const QByteArray &address, TimePoint now)
{
    if (m_registrationLimit <= 0)
        return true;
    forgetOldEntries(now);
    RecentEvents &recent = m_registrations[address];
    if (!recent.hasRoom(now, RegistrationWindow, m_registrationLimit))
        return false;
    recent.record(now, m_registrationLimit);
    return true;
}

QList<UpgradeSnapshot::AddressHistory> LoginThrottle::failureHistory(TimePoint now) const
{
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    QList<UpgradeSnapshot::AddressHistory> list;
    for (auto it = m_failures.cbegin(); it != m_failures.cend(); ++it) {
        list.append({it.key(), it->recent.agesMs(now),
                     duration_cast<milliseconds>(now - it->last).count(),
                     duration_cast<milliseconds>(it->delay).count()});
    }
    return list;
}

QList<UpgradeSnapshot::AddressHistory> LoginThrottle::registrationHistory(TimePoint now) const
{
    QList<UpgradeSnapshot::AddressHistory> list;
    for (auto it = m_registrations.cbegin(); it != m_registrations.cend(); ++it)
        list.append({it.key(), it->agesMs(now), 0, 0});
    return list;
}

void LoginThrottle::restore(const QList<UpgradeSnapshot::AddressHistory> &failures,
                            const QList<UpgradeSnapshot::AddressHistory> &registrations,
                            TimePoint now)
{
    for (const UpgradeSnapshot::AddressHistory &address : failures) {
        Failures &entry = m_failures[address.address];
        entry.recent.restore(address.eventAgesMs, now);
        entry.last = now - std::chrono::milliseconds(address.lastAgoMs);
        entry.delay = std::clamp<Duration>(std::chrono::milliseconds(address.delayMs),
                                           Duration::zero(), LongestDelay);
    }
    for (const UpgradeSnapshot::AddressHistory &address : registrations)
        m_registrations[address.address].restore(address.eventAgesMs, now);
}

// Once a minute, drops what has left its window.
void LoginThrottle::forgetOldEntries(TimePoint now)
{
    if (now < m_nextSweep)
        return;
    m_nextSweep = now + FailureWindow;
    for (auto it = m_failures.begin(); it != m_failures.end();) {
        if (now - it->last >= FailureWindow)
            it = m_failures.erase(it);
        else
            ++it;
    }
    for (auto it = m_registrations.begin(); it != m_registrations.end();) {
        it->forgetBefore(now, RegistrationWindow);
        if (it->isEmpty())
            it = m_registrations.erase(it);
        else
            ++it;
    }
}
