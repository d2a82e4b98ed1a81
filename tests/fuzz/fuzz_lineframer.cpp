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
    for (const QByteArrayView chunk : cutIntoChunks(stream, 7))
        got += pieces.append(chunk.toByteArray());
    if (got != expected || whole.pending() != pieces.pending())
        std::abort();
    for (const QByteArray &line : got) {
        if (line.contains("\r\n") || line.size() > 16 + cap)
            std::abort();
    }
    return 0;
}
