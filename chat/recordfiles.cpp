#include "chat/recordfiles.h"

#include "core/codepage.h"
#include "core/textfile.h"
#include "platform/ownedfiles.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

bool RecordFiles::isAllowedFileName(const QByteArray &name, const QByteArray &executableName)
{
    if (name.isEmpty() || name.size() > LongestName || name.startsWith('.'))
        return false;
    for (const char c : name) {
        // A NUL would cut the name short on its way to the file system.
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f)
            return false;
    }
    if (OwnedFiles::isOwned(name))
        return false;
    return executableName.isEmpty() || Codepage::toLower(name) != Codepage::toLower(executableName);
}

QByteArray RecordFiles::record(const Fields &fields)
{
    QByteArray text;
    for (int i = 1; i <= FieldCount; ++i) {
        if (const QByteArray *value = field(fields, i))
            text += *value;
        text += "\r\n";
    }
    return text;
}

QString RecordFiles::pathOf(const QByteArray &name) const
{
    return QDir(m_folder).filePath(Codepage::toDisplay(name));
}

int RecordFiles::countFiles() const
{
    int count = 0;
    const QStringList names = QDir(m_folder).entryList(QDir::Files | QDir::System);
    for (const QString &name : names) {
        const QByteArray bytes = QFile::encodeName(name);
        count += bytes.startsWith('.') || OwnedFiles::isOwned(bytes) ? 0 : 1;
    }
    return count;
}

RecordFiles::Outcome RecordFiles::append(const QByteArray &name, const QByteArray &executableName,
                                         const Fields &fields, const Limits &limits,
                                         QString *errorText)
{
    if (!isAllowedFileName(name, executableName))
        return Outcome::NameRefused;
    const QString path = pathOf(name);
    struct stat status = {};
    const bool isNew = ::lstat(QFile::encodeName(path).constData(), &status) != 0;
    if (isNew && limits.files > 0) {
        if (m_files < 0)
            m_files = countFiles();
        if (m_files >= limits.files)
            return Outcome::FolderFull;
    }
    const QByteArray text = record(fields);
    const qint64 size = isNew ? 0 : qint64(status.st_size);
    if (limits.fileBytes > 0 && size + text.size() > limits.fileBytes)
        return Outcome::FileFull;
    if (!TextFile::append(path, text, errorText, limits.fileBytes))
        return Outcome::Failed;
    if (isNew && m_files >= 0)
        ++m_files;
    return Outcome::Written;
}

QByteArray RecordFiles::refusalText(const QByteArray &name)
{
    QByteArray shown = name.left(LongestName);
    for (char &c : shown) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    }
    return "Refused a NEWUSER record file name: \"" + shown +
           (name.size() > LongestName ? "\"..." : "\"");
}
