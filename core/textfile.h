#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The small files the server keeps (ban.txt, sysops.dat, motd.txt, the record
// files): read whole, appended to, or replaced as a whole. Every failure
// comes with the file system's reason in errorText (when given).
namespace TextFile {
enum class Missing
{
    IsAnError,   // a file that does not exist cannot be read
    ReadsAsEmpty // a file that does not exist holds nothing
};
enum class ReadOnlyFolder
{
    Fails,        // the new content goes through a temporary file beside the old
    WritesInPlace // a writable file in a folder we may not create files in is overwritten
};

// The whole content; nullopt when the file cannot be opened or read.
std::optional<QByteArray> read(const QString &path, Missing missing, QString *errorText = nullptr);
// Appends `bytes` (creating the file); false unless all of them reached the file.
bool append(const QString &path, const QByteArray &bytes, QString *errorText = nullptr);
// Replaces the file with `bytes` in one step: when it fails, the old file stays
// as it was.
bool replace(const QString &path, const QByteArray &bytes,
             ReadOnlyFolder readOnlyFolder = ReadOnlyFolder::Fails, QString *errorText = nullptr);
// Creates the file holding `bytes`; fails when it exists already.
bool create(const QString &path, const QByteArray &bytes, QString *errorText = nullptr);
} // namespace TextFile
