#include "core/upgradesnapshot.h"

#include <cstdint>
#include <cstdlib>

// A new program must survive any snapshot: read it or say why not.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QString whyNot;
    const std::optional<UpgradeSnapshot> snapshot = UpgradeSnapshot::decode(bytes, &whyNot);
    if (!snapshot) {
        if (whyNot.isEmpty())
            std::abort();
        return 0;
    }
    // What was read is written back the same, and reads back the same.
    const QByteArray again = snapshot->encode();
    QString whyNotAgain;
    const std::optional<UpgradeSnapshot> reread = UpgradeSnapshot::decode(again, &whyNotAgain);
    if (!reread || reread->encode() != again)
        std::abort();
    return 0;
}
