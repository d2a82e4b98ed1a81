#include "core/connectiontable.h"

#include "core/codepage.h"

FoldedName::FoldedName(const QByteArray &name)
    : m_text(Codepage::toUpper(name)), m_hash(qHash(m_text))
{
}

ConnectionTable::ConnectionTable(QObject *parent) : QObject(parent)
{
    for (int i = 0; i < Size; ++i) {
        m_rows[i] = EmptyRow;
        m_rowsUpper[i] = EmptyRow;
        m_rowsUpperHash[i] = qHash(EmptyRow);
    }
}

int ConnectionTable::takeFree(const std::function<bool(int)> &usable)
{
    for (int i = 0; i < Size; ++i) {
        if (m_slots[i].free && usable(i)) {
            m_slots[i].free = false;
            m_slots[i].connection = m_nextConnection++;
            return i;
        }
    }
    return -1;
}

bool ConnectionTable::take(int index)
{
    if (!isValidIndex(index) || !m_slots[index].free)
        return false;
    m_slots[index].free = false;
    m_slots[index].connection = m_nextConnection++;
    return true;
}

void ConnectionTable::release(int index)
{
    ConnectionSlot &entry = m_slots[index];
    entry.operatorFlag = false;
    entry.name.clear();
    entry.free = true;
    // A handler still running for the old connection must see it is gone.
    entry.connection = m_nextConnection++;
}

void ConnectionTable::setRow(int index, const QByteArray &text)
{
    if (m_rows[index] == text)
        return;
    if (m_rows[index] == EmptyRow)
        ++m_counters.joins;
    else if (text == EmptyRow)
        ++m_counters.leaves;
    m_rows[index] = text;
    m_rowsUpper[index] = Codepage::toUpper(text);
    m_rowsUpperHash[index] = qHash(m_rowsUpper[index]);
    Q_EMIT rowChanged(index, text);
}

bool ConnectionTable::isRowNamed(int index, const FoldedName &name, Rows rows) const
{
    // Every message's name claim asks this of all 50 rows; the hash spares
    // comparing names that differ only in their last letters.
    return m_rowsUpperHash[index] == name.hash() && m_rowsUpper[index] == name.text() &&
           (rows == Rows::All || !isRowEmpty(index));
}

int ConnectionTable::findRow(const FoldedName &name, int from, Rows rows) const
{
    for (int i = qMax(from, 0); i < Size; ++i) {
        if (isRowNamed(i, name, rows))
            return i;
    }
    return -1;
}

int ConnectionTable::findRowExactly(const QByteArray &text, int from, Rows rows) const
{
    for (int i = qMax(from, 0); i < Size; ++i) {
        if (m_rows[i] == text && (rows == Rows::All || !isRowEmpty(i)))
            return i;
    }
    return -1;
}
