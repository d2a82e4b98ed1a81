#include "core/httprequestreader.h"
#include "fuzzinput.h"

#include <cstdlib>

// The metrics endpoint's request reader: any cut of the bytes into chunks
// gives the same verdict as the whole, a complete request has a method and a
// target that are printable and bounded, and nothing past the cap is held.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const QByteArray stream = input.bytes(size);
    HttpRequestReader whole;
    whole.append(stream);
    HttpRequestReader pieces;
    for (const QByteArrayView chunk : cutIntoChunks(stream, 11))
        pieces.append(chunk);
    if (whole.state() != pieces.state() || whole.method() != pieces.method() ||
        whole.target() != pieces.target())
        std::abort();
    if (whole.state() == HttpRequestReader::State::Incomplete &&
        stream.size() > HttpRequestReader::MaxHeadBytes)
        std::abort();
    if (whole.state() == HttpRequestReader::State::Complete) {
        if (whole.method().isEmpty() || !whole.target().startsWith('/') ||
            whole.target().size() > HttpRequestReader::MaxHeadBytes)
            std::abort();
        for (const char c : whole.target()) {
            if (c <= ' ' || c == '\x7f')
                std::abort();
        }
    }
    return 0;
}
