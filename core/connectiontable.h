#pragma once

#include <QByteArray>
#include <QObject>

#include <array>
#include <functional>

// One entry of the connection table.
struct ConnectionSlot
{
    bool free = true;
    QByteArray name;
    bool operatorFlag = false; // `operator`
    // Changes with every connection that takes the entry, so a handler that gave
    // way to the event loop can tell whether its sender is still the one here.
    quint64 connection = 0;
};

// The 50 entries shared by the chat and the login service, and the user list
// rows that belong to them (row i to entry i). Rows are protocol text; the
// console shows them through rowChanged.
class ConnectionTable : public QObject
{
    Q_OBJECT
public:
    static constexpr int Size = 50;
    static inline const QByteArray EmptyRow = QByteArrayLiteral("EMPTY");

    explicit ConnectionTable(QObject *parent = nullptr);

    static bool isValidIndex(int index) { return index >= 0 && index < Size; }

    const ConnectionSlot &slot(int index) const { return m_slots[index]; }
    ConnectionSlot &slot(int index) { return m_slots[index]; }

    // Takes the lowest free entry for which `usable` holds (its socket of the
    // asking service is not connected), marks it busy and gives it a new
    // connection number. -1 when none is left.
    int takeFree(const std::function<bool(int)> &usable);
    // Release of an entry: free, no name, no moderator flag. Tells nobody.
    void release(int index);

    const QByteArray &row(int index) const { return m_rows[index]; }
    // The row in upper case, kept beside it for the case-blind lookups.
    const QByteArray &rowUpper(int index) const { return m_rowsUpper[index]; }
    void setRow(int index, const QByteArray &text);
    bool isRowEmpty(int index) const { return m_rows[index] == EmptyRow; }

Q_SIGNALS:
    void rowChanged(int index, const QByteArray &text);

private:
    std::array<ConnectionSlot, Size> m_slots;
    std::array<QByteArray, Size> m_rows;
    std::array<QByteArray, Size> m_rowsUpper;
    quint64 m_nextConnection = 1;
};
