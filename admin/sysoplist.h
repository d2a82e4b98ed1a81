#pragma once

#include "platform/ownedfiles.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct SysopRecord
{
    QByteArray name; // description, not used to log in
    QByteArray email;
    QByteArray password;
    bool operator==(const SysopRecord &) const = default;
};

// sysops.dat in the program folder: an empty first line, then one record per
// line, name TAB e-mail TAB password CR LF. The first line and a last line
// without its CR LF are never records. A password is plain (as typed into
// a hand-edited file) or a yescrypt hash ("$y$...").
namespace SysopList {
inline constexpr QLatin1StringView FileName = OwnedFiles::Sysops;

QList<SysopRecord> parse(const QByteArray &content);
QByteArray serialize(const QList<SysopRecord> &records);
// The records of the file; a missing file has none. nullopt (with the reason)
// when the file exists but cannot be read.
std::optional<QList<SysopRecord>> load(const QString &path, QString *errorText = nullptr);
// Replaces the file as a whole: an old file is left untouched when the new one
// cannot be written completely, or when a record cannot be stored.
bool save(const QString &path, const QList<SysopRecord> &records, QString *errorText = nullptr);
// IsSysop: the file's `content` holds a record with this e-mail, exact, and
// this password, plain or as a yescrypt hash. Empty ones never match.
bool isSysop(const QByteArray &content, const QByteArray &email, const QByteArray &password);
// The stored passwords of the records with this e-mail (none for an empty
// one), for a check elsewhere.
QList<QByteArray> passwordsOf(const QByteArray &content, const QByteArray &email);
// The records with every plain password replaced by its hash; nullopt when
// one cannot be hashed.
std::optional<QList<SysopRecord>> hashed(QList<SysopRecord> records);
// A text that cannot be stored in a record (it holds TAB, CR or LF).
bool isStorable(const QByteArray &text);
} // namespace SysopList
