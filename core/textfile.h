#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The one way the server reads and writes the files it keeps (ban files,
// sysops.dat, motd.txt, the settings, the server file, the record files).
// Every step is checked, a symbolic link at a path is never followed, and
// every file the server creates is readable by its owner only, whatever the
// umask. A failure leaves the file as it was and comes with the system's
// reason ("No space left on device") in errorText.
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
enum class Access
{
    OwnerOnly,    // 0600: everything that holds what clients or the operator said
    ReadableByAll // 0644: a file made to be handed out
};

// The whole content; nullopt when the file cannot be opened or read.
std::optional<QByteArray> read(const QString &path, Missing missing, QString *errorText = nullptr);

// Appends `bytes` (creating the file), after ending a last line that has no
// line end yet (with CR LF), and syncs it. False unless all of them reached
// the file; then the file is cut back to its old length. With `sizeLimit`
// above 0, an append that would make the file larger fails and writes nothing.
bool append(const QString &path, const QByteArray &bytes, QString *errorText = nullptr,
            qint64 sizeLimit = 0);

// Replaces the file with `bytes` in one step: written to a temporary file in
// the same folder, synced, renamed over the old one, then the folder synced.
// When it fails, the old file stays as it was.
bool replace(const QString &path, const QByteArray &bytes,
             ReadOnlyFolder readOnlyFolder = ReadOnlyFolder::Fails, QString *errorText = nullptr,
             Access access = Access::OwnerOnly);

// Replaces the file with what `change` makes of its content, read under the
// lock appends take. Lines another program appends while it runs (a host's
// `echo ... >> file`) land in the old file; they are carried over to the new
// one after the rename. `change` gives nothing to leave the file as it is.
using Change = std::function<std::optional<QByteArray>(const QByteArray &content)>;
bool rewrite(const QString &path, const Change &change, QString *errorText = nullptr);

// Creates the file holding `bytes`; fails when something exists at the path.
bool create(const QString &path, const QByteArray &bytes, QString *errorText = nullptr);

// The system's text for an errno value, with a plain word for a link that
// was not followed.
QString reason(int error);
} // namespace TextFile
