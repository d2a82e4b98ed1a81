#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// log.txt in the working directory: one receive entry per chunk a chat client
// sends, and the event entries of kicks and bans. Private text and passwords
// never reach the file.
//
// The file stays open for append between entries, and every entry is written
// with one unbuffered write, so it is complete in the file as soon as the call
// returns; a write that fails half way is cut back off, so the file only ever
// holds whole entries. Before each entry the path is looked up again (one
// lstat): when it no longer names the open file (moved away, deleted,
// replaced), the file is opened anew, so the next entry starts a new log.txt
// just as if it had been opened for every entry. A symbolic link at the path
// is never written through. A failed write closes the file; the next entry
// tries to open it again.
//
// The file rotates by itself: once it has reached the size limit, the next
// entry first renames it to log.txt.1 (log.txt.1 to log.txt.2, and so on; the
// oldest kept one is overwritten) and starts a new log.txt.
class ChatLog
{
public:
    static inline const QByteArray PrivateMessageText =
        QByteArrayLiteral("User sent a Private Message");
    // A receive entry shows at most this much of a chunk; one flooding client
    // must not fill the disk with a few chunks.
    static constexpr qsizetype MaxEntryText = 8192;
    static constexpr qint64 DefaultRotationBytes = 64 * 1024 * 1024;
    static constexpr int DefaultRotationKeep = 5;

    explicit ChatLog(const QString &path);
    ~ChatLog();
    ChatLog(const ChatLog &) = delete;
    ChatLog &operator=(const ChatLog &) = delete;

    const QString &path() const { return m_path; }

    // `maxBytes` 0: the file is never rotated. `keep` 0: a full file is
    // deleted rather than kept as log.txt.1.
    void setRotation(qint64 maxBytes, int keep);

    // `pending` is what the connection had sent of an unfinished line before
    // this chunk, so a private line or a password cut across chunks is still
    // recognised. Chunks shorter than 2 bytes are not logged.
    bool writeReceive(const QByteArray &address, const QByteArray &chunk,
                      const QByteArray &pending = QByteArray());
    bool writeEvent(const QByteArray &text); // LogEvent

    // The text a receive entry carries for a chunk (after the address and
    // space): masked, then cut to MaxEntryText bytes.
    static QByteArray receiveEntryText(const QByteArray &chunk, const QByteArray &pending);
    static QByteArray timestamp();

    // Only to open (create) the file, as the login service does at each receive.
    bool touch();

    // Why the last write failed: the system's reason.
    const QString &errorString() const { return m_errorString; }

private:
    bool append(const QByteArray &entry);
    // Opens the file unless the open one is still the one at the path.
    bool ensureOpen();
    bool openFile();
    bool rotate();
    void close();
    bool fail(int error);

    QString m_path;
    QByteArray m_nativePath;
    QString m_errorString;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_size = 0; // as the last look at the file found it
    qint64 m_rotationBytes = DefaultRotationBytes;
    int m_rotationKeep = DefaultRotationKeep;
};
