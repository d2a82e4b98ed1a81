#include "admin/motdfile.h"

#include <QFile>
#include <QSaveFile>

namespace {
const QByteArray LineEnd = QByteArrayLiteral("\r\n");

void setError(QString *errorText, const QString &text)
{
    if (errorText)
        *errorText = text;
}
} // namespace

std::optional<QByteArray> MotdFile::load(const QString &path, QString *errorText)
{
    QFile file(path);
    if (!file.exists()) {
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
            file.write(LineEnd) != LineEnd.size() || !file.flush()) {
            setError(errorText, file.errorString());
            return std::nullopt;
        }
        return QByteArray();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        setError(errorText, file.errorString());
        return std::nullopt;
    }
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setError(errorText, file.errorString());
        return std::nullopt;
    }
    return content;
}

bool MotdFile::save(const QString &path, const QByteArray &text, QString *errorText)
{
    QSaveFile file(path);
    // A writable motd.txt in a folder we may not create files in is still saved.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(errorText, file.errorString());
        return false;
    }
    const QByteArray content = text + LineEnd;
    if (file.write(content) != content.size() || !file.commit()) {
        setError(errorText, file.errorString());
        return false;
    }
    return true;
}
