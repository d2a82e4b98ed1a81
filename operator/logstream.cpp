#include "operator/logstream.h"

#include "core/codepage.h"
#include "core/securitylog.h"

#include <QMetaMethod>

#include <cstdio>
#include <limits>
#include <sys/stat.h>

LogStream::Style LogStream::styleForStandardError()
{
    // JOURNAL_STREAM is "device:inode" of the stream systemd connected; a
    // process whose standard error was redirected elsewhere must not use it.
    const QByteArray journal = qgetenv("JOURNAL_STREAM");
    const QList<QByteArray> parts = journal.split(':');
    struct stat status = {};
    if (parts.size() != 2 || ::fstat(2, &status) != 0)
        return Style::Timestamped;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = parts[0].toULongLong(&deviceOk);
    const qulonglong inode = parts[1].toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == status.st_dev && inode == status.st_ino
               ? Style::Journal
               : Style::Timestamped;
}

QString LogStream::severityName(Severity severity)
{
    switch (severity) {
    case Severity::Error:
        return QStringLiteral("error");
    case Severity::Warning:
        return QStringLiteral("warning");
    case Severity::Info:
        break;
    }
    return QStringLiteral("info");
}

QByteArray LogStream::format(Style style, Severity severity, const QString &text,
                             const QDateTime &time)
{
    return compose(style, severity, text.toUtf8(),
                   style == Style::Timestamped ? time.toString(Qt::ISODateWithMs).toUtf8()
                                               : QByteArray());
}

QByteArray LogStream::localTimestamp()
{
    // Local time costs a look at the system's zone each time it is made; a
    // busy room logs many lines a second, so the date and time of day are made
    // once a second and the milliseconds added to them.
    thread_local qint64 cachedSecond = std::numeric_limits<qint64>::min();
    thread_local QByteArray cachedText;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = now >= 0 ? now / 1000 : (now - 999) / 1000;
    if (second != cachedSecond) {
        cachedText = QDateTime::fromSecsSinceEpoch(second).toString(Qt::ISODate).toUtf8();
        cachedSecond = second;
    }
    char milliseconds[5];
    std::snprintf(milliseconds, sizeof milliseconds, ".%03d", int(now - second * 1000));
    return cachedText + milliseconds;
}

QByteArray LogStream::compose(Style style, Severity severity, QByteArray body,
                              const QByteArray &timestamp)
{
    if (style == Style::Silent)
        return {};
    if (body.size() > LongestText) {
        qsizetype cut = LongestText;
        while (cut > 0 && (static_cast<unsigned char>(body.at(cut)) & 0xc0) == 0x80)
            --cut; // not inside a character
        const qsizetype leftOut = body.size() - cut;
        body.truncate(cut);
        body += "\xe2\x80\xa6 " + QByteArray::number(leftOut) + " more bytes";
    }
    // The journal also ends an entry at NUL; no other line may begin in one.
    for (char &c : body) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == '\x7f')
            c = ' ';
    }
    if (style == Style::Timestamped)
        return timestamp + ' ' + body;
    const char *priority = severity == Severity::Error     ? "<3>"
                           : severity == Severity::Warning ? "<4>"
                                                           : "<6>";
    return priority + body;
}

LogStream::LogStream(Style style, Writer writer, QObject *parent)
    : QObject(parent), m_style(style),
      m_urgentStyle(style == Style::Silent ? styleForStandardError() : style),
      m_writer(std::move(writer))
{
    if (!m_writer) {
        m_writer = [this](const QByteArray &line) {
            m_pending += line;
            if (!m_flushQueued) {
                m_flushQueued = true;
                QMetaObject::invokeMethod(this, &LogStream::flush, Qt::QueuedConnection);
            }
        };
    }
}

LogStream::~LogStream()
{
    flush();
}

void LogStream::flush()
{
    m_flushQueued = false;
    if (m_pending.isEmpty())
        return;
    std::fwrite(m_pending.constData(), 1, size_t(m_pending.size()), stderr);
    std::fflush(stderr);
    m_pending.clear();
}

void LogStream::logLine(const QByteArray &text)
{
    // A room's line becomes text only for a follower; standard error takes
    // its bytes as they are where they are plain ASCII.
    if (isSignalConnected(QMetaMethod::fromSignal(&LogStream::line)))
        emitLine(Codepage::toDisplay(text), Severity::Info);
    else
        write(Codepage::toUtf8(text), Severity::Info);
}

void LogStream::notice(const QString &text, Severity severity)
{
    emitLine(text, severity);
}

void LogStream::rowChanged(int index, const QByteArray &row)
{
    emitLine(QStringLiteral("User list row %1: %2").arg(index).arg(Codepage::toDisplay(row)),
             Severity::Info);
}

void LogStream::securityEvent(const QByteArray &event)
{
    writeLine(m_urgentStyle, event, Severity::Warning);
    Q_EMIT line(QString::fromLatin1(event), Severity::Warning);
}

void LogStream::emitLine(const QString &text, Severity severity)
{
    write(text.toUtf8(), severity);
    Q_EMIT line(text, severity);
}

void LogStream::write(const QByteArray &utf8, Severity severity)
{
    // A client's text may hold the marker anywhere: break it up.
    static const QByteArray marker(SecurityLog::Marker);
    static const QByteArray defused = marker.chopped(1) + "\\:";
    const Style style = severity == Severity::Error ? m_urgentStyle : m_style;
    if (utf8.contains(marker))
        writeLine(style, QByteArray(utf8).replace(marker, defused), severity);
    else
        writeLine(style, utf8, severity);
}

void LogStream::writeLine(Style style, const QByteArray &utf8, Severity severity)
{
    if (style == Style::Silent)
        return;
    m_writer(compose(style, severity, utf8,
                     style == Style::Timestamped ? localTimestamp() : QByteArray()) +
             '\n');
    if (severity == Severity::Error)
        flush();
}
