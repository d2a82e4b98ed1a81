#pragma once

#include "platform/ownedfiles.h"

#include <QString>

// Where the server keeps its files and which ports it serves. The product
// always uses the fixed ports and the folders of the running process; tests
// put their own values here.
struct ServerConfig
{
    static constexpr quint16 ChatPort = 3069;
    static constexpr quint16 LoginPort = 3068;
    // The server file is named after the server, with this extension.
    static constexpr QLatin1StringView ServerFileExtension = OwnedFiles::ServerFileExtension;

    // The program folder, or the data folder the host named in its place:
    // ban.txt, sysops.dat, users.mdb, motd.txt at start-up, *.tkl, the
    // settings file, the lock and the control socket.
    QString programFolder;
    QString workingDirectory; // log.txt, chat NEWUSER records, the MOTD editor's motd.txt
    quint16 chatPort = ChatPort;
    quint16 loginPort = LoginPort;

    // The running program: its own folder (or `dataFolder` when one is given)
    // and the process's current directory.
    static ServerConfig forThisProcess(const QString &dataFolder = QString());

    QString programFile(const QString &name) const;
    QString workingFile(const QString &name) const;
};
