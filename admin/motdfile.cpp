#include "admin/motdfile.h"

#include "core/textfile.h"

#include <QFileInfo>

namespace {
const QByteArray LineEnd = QByteArrayLiteral("\r\n");
} // namespace

std::optional<QByteArray> MotdFile::load(const QString &path, QString *errorText)
{
    if (!QFileInfo::exists(path)) {
        if (!TextFile::create(path, LineEnd, errorText))
            return std::nullopt;
        return QByteArray();
    }
    return TextFile::read(path, TextFile::Missing::IsAnError, errorText);
}

bool MotdFile::save(const QString &path, const QByteArray &text, QString *errorText)
{
    // A writable motd.txt in a folder we may not create files in is still saved.
    return TextFile::replace(path, text + LineEnd, TextFile::ReadOnlyFolder::WritesInPlace,
                             errorText);
}
