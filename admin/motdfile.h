#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// motd.txt as the MOTD editor keeps it: free 8-bit text, CR LF line breaks,
// written with one CR LF after the text and read back whole and unchanged.
namespace MotdFile {
// The whole file. A missing file is created holding CR LF and reads as empty.
// Nothing when the file exists but cannot be read, or cannot be created.
std::optional<QByteArray> load(const QString &path, QString *errorText = nullptr);
// Replaces the file with `text` and CR LF; on failure the old file stays as it was.
bool save(const QString &path, const QByteArray &text, QString *errorText = nullptr);
} // namespace MotdFile
