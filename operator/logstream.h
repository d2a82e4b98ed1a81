#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>

// Everything the console window would show, as lines: the log view's lines,
// the operator's notices (a message box in the window) and the user list's
// row changes. Each becomes one line on standard error and one `line` signal
// for the control clients that follow the log.
//
// On standard error, under systemd's journal a line carries its priority
// ("<3>" error, "<4>" warning, "<6>" info) and no time of its own; elsewhere
// it starts with an ISO 8601 time. Security events take the same way (as
// warnings), and only they may carry the security log's marker there.
class LogStream : public QObject
{
    Q_OBJECT
public:
    enum class Severity
    {
        Info,
        Warning,
        Error
    };
    Q_ENUM(Severity)
    enum class Style
    {
        Timestamped,
        Journal,
        Silent // for the window: only errors and security events are written
    };
    Q_ENUM(Style)

    using Writer = std::function<void(const QByteArray &line)>;
    // Below the journal's line limit, which would start a new entry
    // mid-line.
    static constexpr qsizetype LongestText = 8192;

    // Journal when JOURNAL_STREAM names the stream standard error is.
    static Style styleForStandardError();
    static QString severityName(Severity severity);
    // One output line without its LF; control characters inside `text` become
    // spaces, and a text longer than LongestText is cut.
    static QByteArray format(Style style, Severity severity, const QString &text,
                             const QDateTime &time);
    // The local time now as format() writes it (ISO 8601 with milliseconds).
    static QByteArray localTimestamp();

    // Without a writer, lines go to standard error: those of one event-loop
    // turn together in one write (a busy room must not cost a system call per
    // line), an error line at once.
    explicit LogStream(Style style, Writer writer = Writer(), QObject *parent = nullptr);
    ~LogStream() override;

    // Writes what is held back for standard error now.
    void flush();

public Q_SLOTS:
    void logLine(const QByteArray &text); // protocol text, as the log view shows it
    void notice(const QString &text, LogStream::Severity severity);
    void rowChanged(int index, const QByteArray &row);
    void securityEvent(const QByteArray &event);

Q_SIGNALS:
    void line(const QString &text, LogStream::Severity severity);

private:
    void emitLine(const QString &text, Severity severity);
    void write(const QByteArray &utf8, Severity severity);
    void writeLine(Style style, const QByteArray &utf8, Severity severity);
    static QByteArray compose(Style style, Severity severity, QByteArray body,
                              const QByteArray &timestamp);

    Style m_style;
    Style m_urgentStyle; // errors and security events
    Writer m_writer;
    QByteArray m_pending; // for standard error, not yet written
    bool m_flushQueued = false;
};
