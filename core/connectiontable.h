#pragma once

#include "servicecounters.h"

#include <QByteArray>
#include <QObject>

#include <array>
#include <cstring>
#include <functional>

// One entry of the connection table.
struct ConnectionSlot
{
    bool free = true;
    QByteArray name;
    bool operatorFlag = false; // `operator`
    // Changes with every connection that takes the entry, so a timer or a
    // request made earlier can tell whether its connection is still the one here.
    quint64 connection = 0;
};

// Who a handler acts for: the index and the connection that was there when the
// line arrived. Once the handler has returned, the index may hold somebody else.
struct Sender
{
    int index;
    quint64 connection;
};

// A name as the case-blind lookups compare it: folded to upper case once.
class FoldedName
{
public:
    explicit FoldedName(const QByteArray &name);
    const QByteArray &text() const { return m_text; }
    size_t hash() const { return m_hash; }

private:
    QByteArray m_text;
    size_t m_hash;
};

// The 50 entries shared by the chat and the login service, and the user list
// rows that belong to them (row i to entry i). Rows are protocol text; the
// console shows them through rowChanged.
//
// A row holds a display name: the name, "\xA5" in front once the user is a
// moderator, and any number of state suffixes at the end. Lookups by name
// compare whole rows, so the mark and the suffixes are part of the name.
class ConnectionTable : public QObject
{
    Q_OBJECT
public:
    static constexpr int Size = 50;
    static inline const QByteArray EmptyRow = QByteArrayLiteral("EMPTY");
    static inline const QByteArray ModeratorMark = QByteArrayLiteral("\xA5");
    static constexpr char InGameText[] = " [IG]";
    static inline const QByteArray InGameSuffix = QByteArray(InGameText);
    static inline const QByteArray AwaySuffix = QByteArrayLiteral(" [AW]");
    static inline const QByteArray ClientStateSuffix = QByteArrayLiteral(" [CS]");

    // Which rows a lookup looks at.
    enum class Rows
    {
        All,
        OfUsers // not the rows reading "EMPTY"
    };

    explicit ConnectionTable(QObject *parent = nullptr);

    static bool isValidIndex(int index) { return index >= 0 && index < Size; }

    const ConnectionSlot &slot(int index) const { return m_slots[index]; }
    ConnectionSlot &slot(int index) { return m_slots[index]; }

    // Takes the lowest free entry for which `usable` holds (its socket of the
    // asking service is not connected), marks it busy and gives it a new
    // connection number. -1 when none is left.
    int takeFree(const std::function<bool(int)> &usable);
    // Takes that free entry (a connection carried across an upgrade).
    bool take(int index);
    // Release of an entry: free, no name, no moderator flag. Tells nobody.
    void release(int index);

    const QByteArray &row(int index) const { return m_rows[index]; }
    // Whether the row ends with InGameSuffix; asked for every row of every
    // public message, so it compares the few bytes in place.
    bool isInGame(int index) const
    {
        const QByteArray &row = m_rows[index];
        constexpr qsizetype n = sizeof InGameText - 1;
        return row.size() >= n && std::memcmp(row.constData() + row.size() - n, InGameText, n) == 0;
    }
    // The row in upper case, kept beside it for the case-blind lookups.
    const QByteArray &rowUpper(int index) const { return m_rowsUpper[index]; }
    void setRow(int index, const QByteArray &text);
    bool isRowEmpty(int index) const { return m_rows[index] == EmptyRow; }

    // Row `index` equals the name, ignoring case.
    bool isRowNamed(int index, const FoldedName &name, Rows rows = Rows::All) const;
    // The first row from `from` on (up to 49) that equals the name ignoring
    // case, or that equals `text` exactly; -1 when none.
    int findRow(const FoldedName &name, int from = 0, Rows rows = Rows::All) const;
    int findRowExactly(const QByteArray &text, int from = 0, Rows rows = Rows::All) const;

    // What both services counted; a row that leaves or takes "EMPTY" is a
    // join or a leave.
    ServiceCounters &counters() { return m_counters; }
    const ServiceCounters &counters() const { return m_counters; }

Q_SIGNALS:
    void rowChanged(int index, const QByteArray &text);

private:
    std::array<ConnectionSlot, Size> m_slots;
    std::array<QByteArray, Size> m_rows;
    std::array<QByteArray, Size> m_rowsUpper;
    std::array<size_t, Size> m_rowsUpperHash;
    quint64 m_nextConnection = 1;
    ServiceCounters m_counters;
};
