#include "platform/ownedfiles.h"

#include <array>

namespace {
// Owned with every name that begins with them: the file itself and whatever
// is made beside it under a longer name (users.mdb-journal, log.txt.1, ...).
constexpr std::array<QLatin1StringView, 7> OwnedStems = {
    QLatin1StringView{"tarnwick-server"},
    OwnedFiles::BanList,
    OwnedFiles::BanDetails,
    OwnedFiles::Sysops,
    OwnedFiles::Motd,
    OwnedFiles::Users,
    OwnedFiles::Log,
};
} // namespace

bool OwnedFiles::isOwned(QByteArrayView name)
{
    // The names are ASCII: folding ASCII letters compares them in any case.
    const QByteArray lower = name.toByteArray().toLower();
    for (const QLatin1StringView stem : OwnedStems) {
        if (lower.startsWith(QByteArrayView(stem.data(), stem.size())))
            return true;
    }
    return lower.endsWith(QByteArrayView(ServerFileExtension.data(), ServerFileExtension.size()));
}
