#include "core/lineframer.h"
#include "fuzzinput.h"

#include <cstdlib>

// Any cut of a stream into chunks gives the same lines as the whole stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t cap = input.byte();
    const QByteArray stream = input.bytes(size);
    LineFramer whole(16 + cap);
    const QList<QByteArray> expected = whole.append(stream);
    LineFramer pieces(16 + cap);
    QList<QByteArray> got;
    qsizetype position = 0;
    uint8_t step = 1;
    while (position < stream.size()) {
        step = uint8_t(step * 5 + 3);
        const qsizetype n = 1 + step % 7;
        got += pieces.append(stream.mid(position, n));
        position += n;
    }
    if (got != expected || whole.pending() != pieces.pending())
        std::abort();
    for (const QByteArray &line : got) {
        if (line.contains("\r\n") || line.size() > 16 + cap)
            std::abort();
    }
    return 0;
}
