#include "core/chatlog.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

const QByteArray PasswordMask = QByteArrayLiteral("***");

// log.txt is Windows-1252 text, where 0x85 is the ellipsis: an entry cut at
// MaxEntryText ends in "<ellipsis> N more bytes".
constexpr char LeftOutEllipsis = '\x85';

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::generic_category().message(error));
}

// Whether the line that `piece` continues (after `lineStart`, from an earlier
// chunk) begins with `keyword`.
bool lineBegins(QByteArrayView lineStart, QByteArrayView piece, QByteArrayView keyword)
{
    if (lineStart.size() >= keyword.size())
        return lineStart.startsWith(keyword);
    return keyword.startsWith(lineStart) && piece.startsWith(keyword.sliced(lineStart.size()));
}

// What one piece of the chunk (a line, or the part of it the chunk holds) is
// logged as when it is not logged as it is.
std::optional<QByteArray> maskPiece(QByteArrayView piece, QByteArrayView lineStart)
{
    if (lineBegins(lineStart, piece, "PM"))
        return ChatLog::PrivateMessageText;
    if (!lineBegins(lineStart, piece, "RequestOP\t"))
        return std::nullopt;
    // The password is field 3 of the line.
    const qsizetype fieldsBefore = lineStart.count('\t');
    if (fieldsBefore > 3)
        return std::nullopt;
    qsizetype start = 0;
    for (qsizetype field = fieldsBefore; field < 3; ++field) {
        const qsizetype tab = piece.indexOf('\t', start);
        if (tab < 0)
            return std::nullopt; // cut before the password
        start = tab + 1;
    }
    qsizetype end = piece.indexOf('\t', start);
    // A final CR belongs to the line end, not the password.
    if (end < 0)
        end = piece.endsWith('\r') ? piece.size() - 1 : piece.size();
    QByteArray masked;
    masked.reserve(piece.size() - (end - start) + PasswordMask.size());
    masked.append(piece.first(start)).append(PasswordMask).append(piece.sliced(end));
    return masked;
}

// A receive entry's text, cut at MaxEntryText bytes, and the count of the
// chunk's bytes it leaves out.
class EntryText
{
public:
    explicit EntryText(qsizetype chunkBytes) : m_leftOut(chunkBytes) {}

    // Chunk bytes shown as they are: as many as fit.
    bool addPlain(QByteArrayView bytes)
    {
        const qsizetype taken = std::min(bytes.size(), room());
        m_text.append(bytes.first(taken));
        m_leftOut -= taken;
        return taken == bytes.size();
    }
    // A mask goes in whole or not at all: a cut never shows part of one.
    bool addMasked(const QByteArray &mask, qsizetype chunkBytes)
    {
        if (mask.size() > room())
            return false;
        m_text.append(mask);
        m_leftOut -= chunkBytes;
        return true;
    }
    QByteArray take()
    {
        if (m_leftOut > 0)
            m_text.append(LeftOutEllipsis)
                .append(" " + QByteArray::number(m_leftOut) + " more bytes");
        return std::move(m_text);
    }

private:
    qsizetype room() const { return ChatLog::MaxEntryText - m_text.size(); }

    QByteArray m_text;
    qsizetype m_leftOut;
};

} // namespace

QByteArray ChatLog::receiveEntryText(const QByteArray &chunk, const QByteArray &pending)
{
    // The chunk's last byte (its LF) is never shown; the entry's own line end
    // stands for it.
    const QByteArrayView text =
        QByteArrayView(chunk).first(std::max<qsizetype>(chunk.size() - 1, 0));
    EntryText entry(text.size());
    // Masking goes piece by piece on CR LF boundaries, and stops where the
    // entry is full: a huge chunk is not masked beyond what is shown.
    qsizetype position = 0;
    for (;;) {
        const qsizetype end = text.indexOf("\r\n", position);
        const bool last = end < 0;
        const QByteArrayView piece =
            last ? text.sliced(position) : text.sliced(position, end - position);
        const QByteArrayView lineEnd = last ? QByteArrayView() : QByteArrayView("\r\n");
        std::optional<QByteArray> mask =
            maskPiece(piece, position == 0 ? QByteArrayView(pending) : QByteArrayView());
        if (mask && last && *mask == PrivateMessageText) {
            // A chunk of one private line, from its start, is the text alone.
            if (position == 0 && pending.isEmpty())
                return PrivateMessageText;
            if (piece.endsWith('\r'))
                mask->append('\r');
        }
        const qsizetype bytes = piece.size() + lineEnd.size();
        const bool whole = mask ? entry.addMasked(mask->append(lineEnd), bytes)
                                : entry.addPlain(text.sliced(position, bytes));
        if (!whole || last)
            break;
        position = end + 2;
    }
    return entry.take();
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

ChatLog::ChatLog(const QString &path) : m_path(path), m_nativePath(QFile::encodeName(path)) {}

ChatLog::~ChatLog()
{
    close();
}

void ChatLog::setRotation(qint64 maxBytes, int keep)
{
    m_rotationBytes = std::max<qint64>(maxBytes, 0);
    m_rotationKeep = std::max(keep, 0);
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
    if (m_fd >= 0) {
        struct stat atPath;
        if (::lstat(m_nativePath.constData(), &atPath) == 0 && atPath.st_dev == m_device &&
            atPath.st_ino == m_inode) {
            m_size = atPath.st_size;
            return true;
        }
        close(); // moved away, deleted or replaced: start the file at the path anew
    }
    return openFile();
}

bool ChatLog::openFile()
{
    // No O_CREAT on the first try: a file this call makes gets its mode set,
    // one the host made keeps the mode the host gave it. O_NONBLOCK: a FIFO at
    // the path must not hang the server (it is refused below).
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = -1;
    bool created = false;
    for (int attempt = 0; attempt < 3; ++attempt) { // removed or made in between: again
        fd = ::open(m_nativePath.constData(), flags);
        if (fd >= 0 || errno != ENOENT)
            break;
        fd = ::open(m_nativePath.constData(), flags | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
        created = fd >= 0;
        if (created || errno != EEXIST)
            break;
    }
    if (fd < 0)
        return fail(errno);
    // A file made here is its owner's only, whatever the umask.
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || (created && ::fchmod(fd, S_IRUSR | S_IWUSR) != 0)) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    if (!S_ISREG(opened.st_mode)) {
        ::close(fd);
        m_errorString = QStringLiteral("not a regular file");
        return false;
    }
    m_fd = fd;
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_size = opened.st_size;
    return true;
}

bool ChatLog::rotate()
{
    close();
    if (m_rotationKeep == 0) {
        if (::unlink(m_nativePath.constData()) != 0 && errno != ENOENT)
            return fail(errno);
        return openFile();
    }
    // Oldest first: log.txt.(keep-1) replaces log.txt.keep, ..., log.txt
    // becomes log.txt.1. A number not there yet is skipped.
    auto numbered = [this](int number) -> QByteArray {
        return m_nativePath + '.' + QByteArray::number(number);
    };
    for (int number = m_rotationKeep; number >= 1; --number) {
        const QByteArray from = number == 1 ? m_nativePath : numbered(number - 1);
        const QByteArray to = numbered(number);
        if (::rename(from.constData(), to.constData()) != 0 && errno != ENOENT) {
            const int error = errno;
            m_errorString =
                QStringLiteral("renaming %1 to %2: %3")
                    .arg(QFile::decodeName(from), QFile::decodeName(to), systemReason(error));
            return false;
        }
    }
    return openFile();
}

void ChatLog::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool ChatLog::fail(int error)
{
    m_errorString = systemReason(error);
    return false;
}

bool ChatLog::append(const QByteArray &entry)
{
    if (!ensureOpen())
        return false;
    if (m_rotationBytes > 0 && m_size >= m_rotationBytes && !rotate())
        return false;
    // One write puts the entry in whole; one cut short (a full disk) is
    // tried on for the rest, to learn why it stopped.
    qsizetype written = 0;
    while (written < entry.size()) {
        const ssize_t count =
            ::write(m_fd, entry.constData() + written, size_t(entry.size() - written));
        if (count > 0) {
            written += count;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        const int error = count < 0 ? errno : EIO;
        // Only whole entries in the file: what went in of this one goes again.
        if (written > 0 && ::ftruncate(m_fd, m_size) != 0) {
            // Nothing more can be done; the error below is told all the same.
        }
        close();
        return fail(error);
    }
    m_size += written;
    return true;
}
