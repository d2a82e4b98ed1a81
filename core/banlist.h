#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// ban.txt in the program folder: one quoted address per line as this server
// writes it ("1.2.3.4" CR LF); read as comma- or line-separated items, an item
// in double quotes taken without them.
namespace BanList {
// The items of the file in order; a missing or unreadable file has none. For a
// file that exists but cannot be read, errorText says why.
QList<QByteArray> readItems(const QString &path, QString *errorText = nullptr);
QList<QByteArray> parseItems(const QByteArray &content);
// Appends one line for `address`. False (with the reason) when it could not.
bool append(const QString &path, const QByteArray &address, QString *errorText = nullptr);
} // namespace BanList
