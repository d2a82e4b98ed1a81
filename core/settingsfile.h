#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// An INI file read and changed line by line, so that a change the program
// makes keeps what the operator wrote: comments, blank lines, lines that mean
// nothing to us and the file's line endings stay byte for byte.
//
//   file    = *(line (LF / CR LF)) [line]
//   line    = *WSP [comment / section / setting] *WSP
//   comment = (";" / "#") *CHAR
//   section = "[" *WSP name *WSP "]"
//   setting = key *WSP "=" *WSP value     ; a value in double quotes loses them
//
// Names are case-sensitive. Only the keys of the schema count; every line
// that means nothing under it is a problem with its line number, and the rest
// of the file still counts.
class SettingsFile
{
public:
    // Takes a key's value in; what is wrong with it, one text per part that
    // was left out, none when all of it was understood.
    using Reader = std::function<QStringList(const QByteArray &value)>;
    struct Key
    {
        QByteArray section;
        QByteArray name;
        Reader read;
    };
    struct Problem
    {
        int line; // from 1
        QString text;
    };

    explicit SettingsFile(QList<Key> schema) : m_schema(std::move(schema)) {}

    // Reads and parses the file; a missing one is empty. False, with the
    // reason, when it exists but cannot be read: nothing is known of it then.
    bool read(const QString &path, QString *errorText);
    // Gives the last line of each known key to its reader.
    void parse(const QByteArray &bytes);
    // In line order.
    const QList<Problem> &problems() const { return m_problems; }

    // One key of the schema to `value`: the value on its line is replaced, or
    // a line is added at the end of its section, or the section at the end of
    // the file. Every other byte stays; the result is parsed again.
    void setValue(const QByteArray &section, const QByteArray &name, const QByteArray &value);
    QByteArray bytes() const;
    // The whole file replaced in one step.
    bool write(const QString &path, QString *errorText) const;

    // Bytes of the file as a message shows them: printable ASCII as it is,
    // anything else as \xNN, a long text cut; quoted() in double quotes.
    static QString printable(QByteArrayView text);
    static QString quoted(QByteArrayView text);

private:
    struct Line
    {
        QByteArray text; // without its line ending
        QByteArray end;  // LF, CR LF, or nothing for a last line without one
    };
    // Where the value of a key's last line is.
    struct Value
    {
        qsizetype line;
        qsizetype start;
        qsizetype end;
    };

    const Key *find(const QByteArray &section, const QByteArray &name) const;
    bool knowsSection(const QByteArray &section) const;
    void report(qsizetype line, const QString &text);
    void insertLine(qsizetype at, const QByteArray &text);

    QList<Key> m_schema;
    QList<Line> m_lines;
    QByteArray m_lineEnd = "\n";       // what lines we add end with: the file's first ending
    QHash<QByteArray, Value> m_values; // by section + ']' + name
    QHash<QByteArray, qsizetype> m_sectionEnds; // the last line under a section's header
    QList<Problem> m_problems;
};
