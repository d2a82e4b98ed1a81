#pragma once

#include "core/filestamp.h"

#include <QByteArray>
#include <QString>

#include <optional>

// A file the server reads at every use of it, held in memory: it is read
// again only when its stamp shows a change (a hand edit is seen at the next
// use, as before) or after invalidate(). Once read, a file that cannot be read
// any more is never taken as empty: what was read last stays.
//
// Not locked: it belongs to the thread that uses it.
class TextFileCache
{
public:
    explicit TextFileCache(const QString &path) : m_path(path) {}

    const QString &path() const { return m_path; }

    // The content as the file has it now (a missing file is empty). When it
    // cannot be read, errorText says why and the content read last is given,
    // nothing when it was never read.
    std::optional<QByteArray> content(QString *errorText = nullptr);
    // After a write of ours: `content` is what the file holds.
    void noteWritten(const QByteArray &content);
    // The next use reads the file whatever its stamp says.
    void invalidate() { m_current = false; }

private:
    QString m_path;
    std::optional<QByteArray> m_content; // as read last
    FileStamp m_stamp;                   // of the file as read last
    bool m_current = false;              // m_content is what the file holds
};
