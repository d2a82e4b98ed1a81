#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Reads a fuzzer's input as a little script: bytes for choices, runs of bytes
// for data. Reading past the end gives zeros and empty data.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_position >= m_size; }
    uint8_t byte() { return atEnd() ? 0 : m_data[m_position++]; }
    QByteArray bytes(size_t count)
    {
        const size_t available = m_size - m_position;
        const size_t n = count < available ? count : available;
        QByteArray result(reinterpret_cast<const char *>(m_data + m_position), qsizetype(n));
        m_position += n;
        return result;
    }
    // Up to the next 0x00 byte (not included) or the end.
    QByteArray untilZero()
    {
        size_t end = m_position;
        while (end < m_size && m_data[end] != 0)
            ++end;
        QByteArray result(reinterpret_cast<const char *>(m_data + m_position),
                          qsizetype(end - m_position));
        m_position = end < m_size ? end + 1 : end;
        return result;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_position = 0;
};

// `stream` cut into chunks of 1 to `largest` bytes, in a fixed irregular order.
inline QList<QByteArrayView> cutIntoChunks(const QByteArray &stream, int largest)
{
    QList<QByteArrayView> chunks;
    uint8_t step = 1;
    for (QByteArrayView rest(stream); !rest.isEmpty(); rest = rest.sliced(chunks.last().size())) {
        step = uint8_t(step * 5 + 3);
        chunks.append(rest.first(std::min<qsizetype>(1 + step % largest, rest.size())));
    }
    return chunks;
}
