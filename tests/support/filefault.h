#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// Ways a file or folder the server uses can be broken. The tests run as root,
// where permission bits stop nothing, so "unreadable" and "unwritable" are
// made otherwise: a directory in the file's place, a disk error (a link to a
// file whose every read and write fails with EIO), and the immutable flag.
enum class Fault
{
    Missing,
    Directory, // a directory (holding a file) where the file should be
    DiskError, // opens, but every read and write fails
    Garbage,   // a file of binary bytes
    Immutable, // readable, but nothing can change it (or, for a folder, add to it)
};
Q_DECLARE_METATYPE(Fault)

namespace FileFault {
// The binary bytes a Garbage file holds.
QByteArray garbage();
// Puts the fault in place at `path`; an Immutable file keeps `content`.
// False when it cannot be done here (the immutable flag needs a file system
// and rights that allow it).
bool apply(const QString &path, Fault fault, const QByteArray &content = QByteArray());
// Makes `path` (a file or folder) immutable or not.
bool setImmutable(const QString &path, bool immutable);
// What is at `path`: its kind and, for a file, its bytes; to tell whether
// anything changed it.
QByteArray snapshot(const QString &path);
} // namespace FileFault

// Lifts the immutable flag again when it goes, so the test's temporary
// folders can be removed even when the test fails half way.
class ImmutableGuard
{
public:
    explicit ImmutableGuard(const QString &path) : m_path(path) {}
    ~ImmutableGuard() { FileFault::setImmutable(m_path, false); }
    ImmutableGuard(const ImmutableGuard &) = delete;
    ImmutableGuard &operator=(const ImmutableGuard &) = delete;

private:
    QString m_path;
};
