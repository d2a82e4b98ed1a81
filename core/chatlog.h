#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/types.h>

// log.txt in the working directory: one receive entry per chunk a chat client
// sends, and the event entries of kicks and bans. Private text and passwords
// never reach the file.
//
// The file stays open for append between entries, and every entry is written
// with one unbuffered write, so it is complete in the file as soon as the call
// returns. Before each entry the path is looked up again (one stat): when it no
// longer names the open file (moved away, deleted, replaced), the file is
// opened anew, so the next entry starts a new log.txt just as if it had been
// opened for every entry. A failed write closes the file; the next entry tries
// to open it again.
class ChatLog
{
public:
    static inline const QByteArray PrivateMessageText =
        QByteArrayLiteral("User sent a Private Message");

    explicit ChatLog(const QString &path);
    ChatLog(const ChatLog &) = delete;
    ChatLog &operator=(const ChatLog &) = delete;

    const QString &path() const { return m_path; }

    // `pending` is what the connection had sent of an unfinished line before
    // this chunk, so a private line or a password cut across chunks is still
    // recognised. Chunks shorter than 2 bytes are not logged.
    bool writeReceive(const QByteArray &address, const QByteArray &chunk,
                      const QByteArray &pending = QByteArray());
    bool writeEvent(const QByteArray &text); // LogEvent

    // The text a receive entry carries for a chunk (after the address and space).
    static QByteArray receiveEntryText(const QByteArray &chunk, const QByteArray &pending);
    static QByteArray timestamp();

    // Only to open (create) the file, as the login service does at each receive.
    bool touch();

    // Why the last write failed.
    const QString &errorString() const { return m_errorString; }

private:
    bool append(const QByteArray &entry);
    // Opens the file unless the open one is still the one at the path.
    bool ensureOpen();

    QString m_path;
    QByteArray m_nativePath;
    QString m_errorString;
    QFile m_file;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};
