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
    qsizetype position = 0;
    uint8_t step = 1;
    while (position < stream.size()) {
        step = uint8_t(step * 5 + 3);
        const qsizetype n = 1 + step % 11;
        pieces.append(
            QByteArrayView(stream).sliced(position, std::min(n, stream.size() - position)));
        position += n;
    }
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
