#include "core/banlist.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> items = BanList::parseItems(content);
    // Items are cut from the content: never more bytes than it has.
    qsizetype total = 0;
    for (const QByteArray &item : items)
        total += item.size();
    if (total > content.size())
        std::abort();
    return 0;
}
