#pragma once

#include "core/addressrange.h"
#include "core/recentevents.h"
#include "core/upgradesnapshot.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <chrono>

// Connections per address across both services: how many are open at once
// and how many new ones came within the last minute. Trusted addresses are
// exempt from both. The services ask at accept, before a connection takes a
// slot, and report every connection that took one and every one that ended.
class AddressLimits
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::minutes Window{1};

    enum class Reason
    {
        None,
        TooManyOpen,
        TooManyNew
    };
    struct Admission
    {
        bool allowed = true;
        Reason reason = Reason::None;
    };

    // A limit of 0 is no limit.
    AddressLimits(int openPerAddress, int newPerMinute, QList<AddressRange> trusted);
    // New limits from the next accept on; the counts so far are kept.
    void setLimits(int openPerAddress, int newPerMinute, QList<AddressRange> trusted);

    // Counts the connection as new when it is allowed.
    Admission admit(const QByteArray &address, TimePoint now);
    void connectionOpened(const QByteArray &address);
    void connectionClosed(const QByteArray &address);

    bool isTrusted(const QByteArray &address) const;
    // Addresses remembered at the moment: those with an open connection or
    // a new one within the window.
    qsizetype entryCount() const { return m_entries.size(); }
    // The settings' name of a refusal, for the security log.
    static QByteArray reasonName(Reason reason);

    // The new connections of each address, carried across an upgrade; the
    // open ones are counted again as their connections are taken over.
    QList<UpgradeSnapshot::AddressHistory> history(TimePoint now) const;
    void restore(const QList<UpgradeSnapshot::AddressHistory> &history, TimePoint now);

private:
    struct Entry
    {
        int open = 0;
        RecentEvents recent;
    };
    void forgetOldEntries(TimePoint now);

    int m_openLimit;
    int m_newLimit;
    QList<AddressRange> m_trusted;
    QHash<QByteArray, Entry> m_entries;
    TimePoint m_nextSweep{};
};
