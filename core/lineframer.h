#pragma once

#include <QByteArray>
#include <QList>

// Cuts a connection's byte stream into message lines ended by CR LF. A line
// cut off at the end of one chunk is completed by the next chunk. A line longer
// than the cap is thrown away up to its next CR LF, so a client cannot make us
// hold an unbounded line.
class LineFramer
{
public:
    static constexpr qsizetype DefaultCap = 1024 * 1024;

    explicit LineFramer(qsizetype cap = DefaultCap) : m_cap(cap) {}

    // Complete lines in this chunk, without their CR LF, in order.
    QList<QByteArray> append(const QByteArray &chunk);
    // The start of the line that has not been ended yet.
    const QByteArray &pending() const { return m_pending; }
    // Throwing away the rest of a line over the cap.
    bool isDiscarding() const { return m_discarding; }
    // Where another framer left off (an upgrade).
    void restore(const QByteArray &pending, bool discarding)
    {
        m_pending = pending;
        m_discarding = discarding;
    }
    void clear();

private:
    QByteArray m_pending;
    qsizetype m_cap;
    bool m_discarding = false;
};
