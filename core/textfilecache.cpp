#include "core/textfilecache.h"

#include "core/textfile.h"

std::optional<QByteArray> TextFileCache::content(QString *errorText)
{
    // Taken before the read: a change made meanwhile is read next time.
    const FileStamp stamp = FileStamp::of(m_path);
    if (m_current && stamp == m_stamp && stamp.isSettled())
        return m_content;
    QString error;
    const std::optional<QByteArray> read =
        TextFile::read(m_path, TextFile::Missing::ReadsAsEmpty, &error);
    m_current = read.has_value();
    if (!read) {
        if (errorText)
            *errorText = error;
        return m_content;
    }
    m_content = read;
    m_stamp = stamp;
    return m_content;
}

void TextFileCache::noteWritten(const QByteArray &content)
{
    m_content = content;
    m_stamp = FileStamp::of(m_path);
    m_current = true;
}
