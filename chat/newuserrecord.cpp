#include "chat/newuserrecord.h"

#include "core/codepage.h"
#include "core/serverconfig.h"
#include "core/textfile.h"

#include <array>

namespace {
const std::array<QByteArray, 5> KeptFiles = {
    QByteArrayLiteral("users.mdb"), QByteArrayLiteral("sysops.dat"), QByteArrayLiteral("ban.txt"),
    QByteArrayLiteral("motd.txt"),  QByteArrayLiteral("log.txt"),
};
} // namespace

bool NewUserRecord::isAllowedFileName(const QByteArray &name, const QByteArray &executableName)
{
    if (name.isEmpty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        // A NUL would cut the name short on its way to the file system.
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return false;
    }
    const QByteArray lower = Codepage::toLower(name);
    for (const QByteArray &kept : KeptFiles) {
        if (lower == kept)
            return false;
    }
    const QLatin1StringView extension = ServerConfig::ServerFileExtension;
    if (lower.endsWith(QByteArrayView(extension.data(), extension.size())))
        return false;
    return executableName.isEmpty() || lower != Codepage::toLower(executableName);
}

QByteArray NewUserRecord::record(const Fields &fields)
{
    QByteArray text;
    for (int i = 1; i <= FieldCount; ++i) {
        if (const QByteArray *value = field(fields, i))
            text += *value;
        text += "\r\n";
    }
    return text;
}

bool NewUserRecord::append(const QString &path, const QByteArray &record)
{
    return TextFile::append(path, record);
}

QByteArray NewUserRecord::refusalText(const QByteArray &name)
{
    QByteArray shown = name;
    for (char &c : shown) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    }
    return "Refused a NEWUSER record file name: \"" + shown + '"';
}
