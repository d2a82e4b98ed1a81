#pragma once

#include <QString>
#include <QtGlobal>

// What the file system says of a file without reading it, to tell whether it
// changed since it was read: an edit or an append moves its times, a replace
// by rename or a new file brings another inode. A stat works in any thread
// and on any file system, which change notification does not.
class FileStamp
{
public:
    // The file at `path` now; a link there is taken as itself, never followed,
    // as the server reads no file through one.
    static FileStamp of(const QString &path);

    bool exists() const { return m_exists; }
    // The file's last change lies far enough back that any later one moves a
    // time: a file changed within the file system's clock tick before it was
    // stamped could change again and keep this stamp, so it is read again.
    bool isSettled() const { return m_settled; }

    friend bool operator==(const FileStamp &a, const FileStamp &b)
    {
        return a.m_exists == b.m_exists && a.m_device == b.m_device && a.m_inode == b.m_inode &&
               a.m_size == b.m_size && a.m_modified == b.m_modified && a.m_changed == b.m_changed;
    }

private:
    bool m_exists = false;
    bool m_settled = true;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_size = 0;
    qint64 m_modified = 0; // nanoseconds since the epoch
    qint64 m_changed = 0;  // status change, nanoseconds since the epoch
};
