#pragma once

#include <QByteArrayView>
#include <QLatin1StringView>

// Every file the server keeps, named once. A name a client chooses (a chat
// NEWUSER record) is checked against this list, so a file added to the server
// must be added here.
namespace OwnedFiles {
// In the program (data) folder.
inline constexpr QLatin1StringView Settings{"tarnwick-server.ini"};
inline constexpr QLatin1StringView Lock{"tarnwick-server.lock"};
inline constexpr QLatin1StringView ControlSocket{"tarnwick-server.sock"};
inline constexpr QLatin1StringView BanList{"ban.txt"};
inline constexpr QLatin1StringView BanDetails{"ban-meta.txt"};
inline constexpr QLatin1StringView Sysops{"sysops.dat"};
inline constexpr QLatin1StringView Motd{"motd.txt"};
inline constexpr QLatin1StringView Users{"users.mdb"}; // and the store's side files, users.mdb-*
inline constexpr QLatin1StringView ServerFileExtension{".tkl"};
// In the working directory.
inline constexpr QLatin1StringView Log{"log.txt"}; // and the rotated log.txt.1 ...

// Whether `name` (one file name, any letter case) is or could become one of
// the server's own files: the files above, their side and rotated files,
// every file whose name starts with the program's name (the programs, the
// settings' and the lock's companions) and every server file.
bool isOwned(QByteArrayView name);
} // namespace OwnedFiles
