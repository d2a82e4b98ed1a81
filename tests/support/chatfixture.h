#pragma once

#include "core/chatserver.h"
#include "core/connectiontable.h"
#include "core/serverconfig.h"
#include "rawclient.h"
#include "simulatedtransport.h"

#include <QTemporaryDir>

#include <memory>

// An in-process chat service on an ephemeral port, with its own program folder
// and working directory, and the chat commands registered.
class ChatFixture
{
public:
    explicit ChatFixture(bool withCommands = true);

    ServerConfig config;
    QTemporaryDir programFolder;
    QTemporaryDir workingDirectory;
    ConnectionTable table;
    std::unique_ptr<ChatServer> chat;

    quint16 port() const { return chat->port(); }
    // A connected client; its accept has run on return.
    std::unique_ptr<RawClient> connect(const QString &from = QStringLiteral("127.0.0.1"));
    // A connection without a network, accepted like a real one.
    QSharedPointer<SimulatedTransport> connectSimulated(const QByteArray &from = "127.0.0.1")
    {
        return SimulatedTransport::connectTo(chat->connections(), from);
    }
    // Connects and sends "Name", then reads away everything the join sent it
    // (and waits for the others' ADDUSER of it).
    std::unique_ptr<RawClient> join(const QByteArray &name,
                                    const QString &from = QStringLiteral("127.0.0.1"));
    QString programFile(const QString &name) const { return config.programFile(name); }
    QString workingFile(const QString &name) const { return config.workingFile(name); }
    QByteArray readWorkingFile(const QString &name) const;
    void writeProgramFile(const QString &name, const QByteArray &bytes) const;
    // Index of the first row equal to `text`, -1 when none.
    int rowOf(const QByteArray &text) const;
};
