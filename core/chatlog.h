#pragma once

#include <QByteArray>
#include <QString>

// log.txt in the working directory: one receive entry per chunk a chat client
// sends, and the event entries of kicks and bans. Opened for append and closed
// again for every entry. Private text and passwords never reach the file.
class ChatLog
{
public:
    static inline const QByteArray PrivateMessageText =
        QByteArrayLiteral("User sent a Private Message");

    explicit ChatLog(const QString &path) : m_path(path) {}

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

    QString m_path;
    QString m_errorString;
};
