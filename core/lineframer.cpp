#include "core/lineframer.h"

QList<QByteArray> LineFramer::append(const QByteArray &chunk)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    // A CR at the end of the previous chunk may pair with an LF starting this one.
    if (!m_pending.isEmpty() && m_pending.endsWith('\r') && chunk.startsWith('\n')) {
        m_pending.chop(1);
        if (!m_discarding)
            lines.append(m_pending);
        m_pending.clear();
        m_discarding = false;
        start = 1;
    } else if (m_discarding && m_pending == "\r" && chunk.startsWith('\n')) {
        m_pending.clear();
        m_discarding = false;
        start = 1;
    }
    while (start <= chunk.size()) {
        const qsizetype end = chunk.indexOf("\r\n", start);
        if (end < 0)
            break;
        // A line over the cap is dropped whether it came in one chunk or many.
        if (!m_discarding && m_pending.size() + (end - start) <= m_cap) {
            if (m_pending.isEmpty())
                lines.append(chunk.mid(start, end - start));
            else
                lines.append(m_pending + chunk.mid(start, end - start));
        }
        m_pending.clear();
        m_discarding = false;
        start = end + 2;
    }
    const qsizetype rest = chunk.size() - start;
    if (rest <= 0)
        return lines;
    if (m_discarding) {
        // Only remember whether the tail is a CR that the next chunk may complete.
        m_pending = chunk.endsWith('\r') ? QByteArray("\r") : QByteArray();
        return lines;
    }
    // A final CR may be the start of the line end, not part of the line.
    const qsizetype lineBytes = m_pending.size() + rest - (chunk.endsWith('\r') ? 1 : 0);
    if (lineBytes > m_cap) {
        m_discarding = true;
        m_pending = chunk.endsWith('\r') ? QByteArray("\r") : QByteArray();
        return lines;
    }
    m_pending.append(chunk.constData() + start, rest);
    return lines;
}

void LineFramer::clear()
{
    m_pending.clear();
    m_discarding = false;
}
