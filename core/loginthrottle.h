#pragma once

#include "core/recentevents.h"
#include "core/upgradesnapshot.h"

#include <QByteArray>
#include <QHash>

#include <chrono>

// Password guessing and mass registration on the login service, per address.
// After `failuresBeforeDelay` failed VALIDATE within a minute every answer to
// that address waits, 1 s at first, doubling with each further failure up to
// 30 s; a success or a quiet minute ends it. The delay applies to every
// answer, a PASS included, so its timing tells a guesser nothing. NEWUSER is
// allowed `registrations` times per ten minutes. A limit of 0 is no limit.
// The chat service keeps one of its own for RequestOP.
class LoginThrottle
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    static constexpr std::chrono::minutes FailureWindow{1};
    static constexpr std::chrono::minutes RegistrationWindow{10};
    static constexpr std::chrono::seconds FirstDelay{1};
    static constexpr std::chrono::seconds LongestDelay{30};

    LoginThrottle(int failuresBeforeDelay, int registrations);

    // How long to hold the answer to a VALIDATE from `address` received now.
    Duration answerDelay(const QByteArray &address, TimePoint now);
    void failed(const QByteArray &address, TimePoint now);
    void succeeded(const QByteArray &address);

    // Whether a NEWUSER from `address` may go to the store; counts it if so.
    // A refused one is answered DECLINE and stores nothing.
    bool admitRegistration(const QByteArray &address, TimePoint now);

    qsizetype entryCount() const { return m_failures.size() + m_registrations.size(); }

    // Carried across an upgrade, relative to `now`.
    QList<UpgradeSnapshot::AddressHistory> failureHistory(TimePoint now) const;
    QList<UpgradeSnapshot::AddressHistory> registrationHistory(TimePoint now) const;
    void restore(const QList<UpgradeSnapshot::AddressHistory> &failures,
                 const QList<UpgradeSnapshot::AddressHistory> &registrations, TimePoint now);

private:
    struct Failures
    {
        RecentEvents recent;
        TimePoint last{};
        Duration delay{}; // for the next answer; zero until the threshold
    };
    void forgetOldEntries(TimePoint now);

    int m_failuresBeforeDelay;
    int m_registrationLimit;
    QHash<QByteArray, Failures> m_failures;
    QHash<QByteArray, RecentEvents> m_registrations;
    TimePoint m_nextSweep{};
};
