#pragma once

#include <QByteArray>
#include <QList>

// Stored passwords, plain or as yescrypt hashes ("$y$..." from libxcrypt).
// A store holds one form or the other; checking accepts both, so a file
// edited by hand or written by an older server keeps working.
namespace PasswordHash {
// The work factor: a check costs tens of milliseconds on a current machine.
inline constexpr int Cost = 3;

// A new hash with a fresh random salt; empty when the library refuses (a
// password holding a NUL byte, which the library would cut short).
QByteArray make(const QByteArray &password);
// The stored value is a hash, not a plain password: "$y$" with the
// parameters of cost 1 to 5 (a value with others compares as plain text).
bool isHash(const QByteArray &stored);
// The password matches the stored value, a hash or a plain password, the
// comparison taking the same time wherever the first difference is.
bool matches(const QByteArray &password, const QByteArray &stored);
// Some candidate matches; every candidate is tried, so the time taken does
// not tell which one did.
bool matchesAny(const QByteArray &password, const QList<QByteArray> &candidates);
} // namespace PasswordHash
