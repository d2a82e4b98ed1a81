#include "core/chatlog.h"

#include <QDateTime>
#include <QLocale>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

const QByteArray PasswordMask = QByteArrayLiteral("***");

// Masks one piece of the chunk. `lineStart` is the part of the same line that
// came before this piece (in an earlier chunk), empty for a piece that starts
// its line.
QByteArray maskPiece(const QByteArray &piece, const QByteArray &lineStart)
{
    const QByteArray whole = lineStart + piece;
    if (whole.startsWith("PM"))
        return ChatLog::PrivateMessageText;
    if (!whole.startsWith("RequestOP\t"))
        return piece;
    // The password is field 3 of the line; the piece starts in field `first`.
    const qsizetype first = lineStart.count('\t');
    QList<QByteArray> fields = piece.split('\t');
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (first + i == 3) {
            // Keep a final CR, which belongs to the line end, not the password.
            const bool keepCr = i == fields.size() - 1 && fields[i].endsWith('\r');
            fields[i] = keepCr ? PasswordMask + '\r' : PasswordMask;
        }
    }
    return fields.join('\t');
}

} // namespace

QByteArray ChatLog::receiveEntryText(const QByteArray &chunk, const QByteArray &pending)
{
    if (chunk.startsWith("PM"))
        return PrivateMessageText;
    const QByteArray text = chunk.left(chunk.size() - 1);
    if (!text.contains("PM") && !text.contains("RequestOP") && pending.isEmpty())
        return text;
    // Work on CR LF boundaries: a piece ends with the CR of its line end.
    QByteArray result;
    qsizetype position = 0;
    bool firstPiece = true;
    while (position <= text.size()) {
        qsizetype end = text.indexOf("\r\n", position);
        const bool last = end < 0;
        const QByteArray piece = last ? text.mid(position) : text.mid(position, end - position);
        QByteArray masked = maskPiece(piece, firstPiece ? pending : QByteArray());
        if (last && piece.endsWith('\r') && masked == PrivateMessageText)
            masked += '\r';
        result += masked;
        if (last)
            break;
        result += "\r\n";
        position = end + 2;
        firstPiece = false;
    }
    return result;
}

QByteArray ChatLog::timestamp()
{
    // The text changes once a second; making it (local time, locale formats)
    // costs far more than a busy room's entries of one second together.
    thread_local qint64 cachedSecond = -1;
    thread_local QByteArray cachedText;
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second == cachedSecond)
        return cachedText;
    const QDateTime now = QDateTime::fromSecsSinceEpoch(second);
    const QLocale locale = QLocale::system();
    // The system's short date and time; the C locale gets the classic
    // month/day/year form rather than a spelled-out month.
    if (locale.language() == QLocale::C)
        cachedText = now.toString(QStringLiteral("M/d/yyyy h:mm:ss AP")).toLatin1();
    else
        cachedText = (locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                      locale.toString(now.time(), QStringLiteral("HH:mm:ss")))
                         .toLatin1();
    cachedSecond = second;
    return cachedText;
}

ChatLog::ChatLog(const QString &path)
    : m_path(path), m_nativePath(QFile::encodeName(path)), m_file(path)
{
}

bool ChatLog::writeReceive(const QByteArray &address, const QByteArray &chunk,
                           const QByteArray &pending)
{
    if (chunk.size() < 2)
        return touch();
    return append(timestamp() + address + ' ' + receiveEntryText(chunk, pending) + "\r\n");
}

bool ChatLog::writeEvent(const QByteArray &text)
{
    return append(timestamp() + text + "\r\n");
}

bool ChatLog::touch()
{
    return ensureOpen();
}

bool ChatLog::ensureOpen()
{
    if (m_file.isOpen()) {
        struct stat atPath;
        if (::stat(m_nativePath.constData(), &atPath) == 0 && atPath.st_dev == m_device &&
            atPath.st_ino == m_inode)
            return true;
        m_file.close(); // moved away, deleted or replaced: start the file at the path anew
    }
    if (!m_file.open(QIODevice::Append | QIODevice::Unbuffered)) {
        m_errorString = m_file.errorString();
        return false;
    }
    struct stat opened;
    if (::fstat(m_file.handle(), &opened) != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        m_file.close();
        return false;
    }
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    return true;
}

bool ChatLog::append(const QByteArray &entry)
{
    if (!ensureOpen())
        return false;
    if (m_file.write(entry) != entry.size()) {
        m_errorString = m_file.errorString();
        m_file.close();
        return false;
    }
    return true;
}
