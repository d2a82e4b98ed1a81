#include "core/addresslimits.h"

AddressLimits::AddressLimits(int openPerAddress, int newPerMinute, QList<AddressRange> trusted)
    : m_openLimit(openPerAddress), m_newLimit(newPerMinute), m_trusted(std::move(trusted))
{
}

void AddressLimits::setLimits(int openPerAddress, int newPerMinute, QList<AddressRange> trusted)
{
    m_openLimit = openPerAddress;
    m_newLimit = newPerMinute;
    m_trusted = std::move(trusted);
}

bool AddressLimits::isTrusted(const QByteArray &address) const
{
    const std::optional<quint32> value = AddressRange::parseAddress(address);
    if (!value)
        return false;
    for (const AddressRange &range : m_trusted) {
        if (range.contains(*value))
            return true;
    }
    return false;
}

AddressLimits::Admission AddressLimits::admit(const QByteArray &address, TimePoint now)
{
    forgetOldEntries(now);
    if (isTrusted(address))
        return {};
    auto found = m_entries.find(address);
    if (m_openLimit > 0 && found != m_entries.end() && found->open >= m_openLimit)
        return {false, Reason::TooManyOpen};
    if (m_newLimit <= 0)
        return {};
    if (found == m_entries.end())
        found = m_entries.insert(address, Entry{});
    if (!found->recent.hasRoom(now, Window, m_newLimit))
        return {false, Reason::TooManyNew};
    found->recent.record(now, m_newLimit);
    return {};
}

void AddressLimits::connectionOpened(const QByteArray &address)
{
    ++m_entries[address].open;
}

void AddressLimits::connectionClosed(const QByteArray &address)
{
    const auto found = m_entries.find(address);
    if (found == m_entries.end() || found->open == 0)
        return;
    if (--found->open == 0 && found->recent.isEmpty())
        m_entries.erase(found);
}

QList<UpgradeSnapshot::AddressHistory> AddressLimits::history(TimePoint now) const
{
    QList<UpgradeSnapshot::AddressHistory> list;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!it->recent.isEmpty())
            list.append({it.key(), it->recent.agesMs(now), 0, 0});
    }
    return list;
}

void AddressLimits::restore(const QList<UpgradeSnapshot::AddressHistory> &history, TimePoint now)
{
    for (const UpgradeSnapshot::AddressHistory &address : history)
        m_entries[address.address].recent.restore(address.eventAgesMs, now);
}

// Once a window, drops the addresses with nothing open and no new connection
// left in the window, so memory follows the recent traffic, not all traffic.
void AddressLimits::forgetOldEntries(TimePoint now)
{
    if (now < m_nextSweep)
        return;
    m_nextSweep = now + Window;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        it->recent.forgetBefore(now, Window);
        if (it->open == 0 && it->recent.isEmpty())
            it = m_entries.erase(it);
        else
            ++it;
    }
}

QByteArray AddressLimits::reasonName(Reason reason)
{
    switch (reason) {
    case Reason::TooManyOpen:
        return "connectionsPerAddress";
    case Reason::TooManyNew:
        return "newConnectionsPerMinute";
    case Reason::None:
        break;
    }
    return {};
}
