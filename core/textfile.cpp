#include "core/textfile.h"

#include <QFile>
#include <QSaveFile>

namespace {
bool failed(const QFileDevice &file, QString *errorText)
{
    if (errorText)
        *errorText = file.errorString();
    return false;
}

bool writeAll(QFile &file, const QByteArray &bytes)
{
    return file.write(bytes) == bytes.size() && file.flush();
}
} // namespace

std::optional<QByteArray> TextFile::read(const QString &path, Missing missing, QString *errorText)
{
    QFile file(path);
    if (missing == Missing::ReadsAsEmpty && !file.exists())
        return QByteArray();
    if (!file.open(QIODevice::ReadOnly)) {
        failed(file, errorText);
        return std::nullopt;
    }
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        failed(file, errorText);
        return std::nullopt;
    }
    return content;
}

bool TextFile::append(const QString &path, const QByteArray &bytes, QString *errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::Append) || !writeAll(file, bytes))
        return failed(file, errorText);
    return true;
}

bool TextFile::replace(const QString &path, const QByteArray &bytes, ReadOnlyFolder readOnlyFolder,
                       QString *errorText)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(readOnlyFolder == ReadOnlyFolder::WritesInPlace);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return failed(file, errorText);
    return true;
}

bool TextFile::create(const QString &path, const QByteArray &bytes, QString *errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !writeAll(file, bytes))
        return failed(file, errorText);
    return true;
}
