#include "core/passwordhash.h"

#include <crypt.h>

#include <algorithm>
#include <array>
#include <memory>

namespace {
const QByteArray Prefix = QByteArrayLiteral("$y$");

bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    // The length of a stored hash is no secret; a plain password's is, a
    // little, so the loop runs over the longer of the two.
    const qsizetype length = std::max(a.size(), b.size());
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < length; ++i) {
        const unsigned char x = i < a.size() ? a[i] : 0;
        const unsigned char y = i < b.size() ? b[i] : 0;
        difference |= x ^ y;
    }
    return difference == 0;
}

// The library's working area is large (32 KiB): one per call, on the heap,
// wiped before it is freed.
QByteArray hashWith(const QByteArray &password, const QByteArray &setting)
{
    if (password.contains('\0') || setting.contains('\0'))
        return {};
    auto data = std::make_unique<crypt_data>();
    const char *hash =
        crypt_rn(password.constData(), setting.constData(), data.get(), sizeof(crypt_data));
    // A failure gives null or a string starting with '*'.
    QByteArray result = hash && hash[0] != '*' ? QByteArray(hash) : QByteArray();
    explicit_bzero(data.get(), sizeof(crypt_data));
    return result;
}
} // namespace

QByteArray PasswordHash::make(const QByteArray &password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: the library takes them from the system.
    if (!crypt_gensalt_rn(Prefix.constData(), Cost, nullptr, 0, setting, sizeof setting))
        return {};
    return hashWith(password, QByteArray(setting));
}

// Only the parameters of the library's cost range up to the system's own
// default (5, as in /etc/shadow) make a hash: a value a client stored in a
// plain store could otherwise set any cost, memory included, for every check
// of its name.
bool PasswordHash::isHash(const QByteArray &stored)
{
    static const std::array<QByteArrayView, 5> settings = {"$y$j75$", "$y$j85$", "$y$j7T$",
                                                           "$y$j8T$", "$y$j9T$"};
    return std::any_of(settings.cbegin(), settings.cend(),
                       [&stored](QByteArrayView setting) { return stored.startsWith(setting); });
}

bool PasswordHash::matches(const QByteArray &password, const QByteArray &stored)
{
    if (!isHash(stored))
        return equalInConstantTime(password, stored);
    const QByteArray hash = hashWith(password, stored);
    return !hash.isEmpty() && equalInConstantTime(hash, stored);
}

bool PasswordHash::matchesAny(const QByteArray &password, const QList<QByteArray> &candidates)
{
    bool found = false;
    for (const QByteArray &stored : candidates)
        found = matches(password, stored) || found;
    return found;
}
