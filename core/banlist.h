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
// The file's text for `items`, one per line, each in double quotes unless it
// holds a quote itself (then bare, as it must have been read); parseItems
// gives the same items back. Empty items match nothing and are left out.
QByteArray formatItems(const QList<QByteArray> &items);
} // namespace BanList
