#pragma once

#include "core/messageline.h"

#include <QByteArray>
#include <QString>

// The record files a chat client's "NEWUSER" line writes into the working
// directory: fields 1 to 15 of the line, one per line, appended to the file
// that field 1 names. A client chooses that name, so it may only name a plain
// file of its own, never one of the server's; and the files are bounded, one
// by its size, all of them by their number.
class RecordFiles
{
public:
    static constexpr int FieldCount = 15;
    static constexpr qsizetype LongestName = 64;

    enum class Outcome
    {
        Written,
        NameRefused, // not a plain name, or one of the server's own files
        FileFull,    // the file would grow past the size limit
        FolderFull,  // a new file, and the folder holds the most it may
        Failed       // the file system said no; errorText says why
    };
    struct Limits
    {
        qint64 fileBytes = 1024 * 1024; // 0: no limit
        int files = 10000;              // 0: no limit
    };

    explicit RecordFiles(const QString &folder) : m_folder(folder) {}

    // `executableName` is refused as well: a program copied under another name.
    static bool isAllowedFileName(const QByteArray &name, const QByteArray &executableName);
    // The record of a line; missing fields give empty lines so that every
    // record in a file stays 15 lines long.
    static QByteArray record(const Fields &fields);

    // A refused name as the operator's log view shows it.
    static QByteArray refusalText(const QByteArray &name);

    Outcome append(const QByteArray &name, const QByteArray &executableName, const Fields &fields,
                   const Limits &limits, QString *errorText = nullptr);
    QString pathOf(const QByteArray &name) const;

private:
    int countFiles() const;

    QString m_folder;
    int m_files = -1; // record files in the folder; counted once, at the first record
};
