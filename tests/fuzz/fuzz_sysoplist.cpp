#include "admin/sysoplist.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<SysopRecord> records = SysopList::parse(content);
    // What the editor saves reads back as the same records.
    const QByteArray saved = SysopList::serialize(records);
    bool storable = true;
    for (const SysopRecord &r : records)
        storable = storable && SysopList::isStorable(r.name) && SysopList::isStorable(r.email) &&
                   SysopList::isStorable(r.password);
    if (storable && SysopList::parse(saved) != records)
        std::abort();
    if (SysopList::serialize(SysopList::parse(saved)) != saved)
        std::abort();
    return 0;
}
