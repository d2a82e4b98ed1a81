#pragma once

#include "core/chatserver.h"
#include "core/connectiontable.h"
#include "rawclient.h"
#include "simulatedtransport.h"
#include "testfolders.h"

#include <memory>

// An in-process chat service on an ephemeral port, with its own program folder
// and working directory, and the chat commands registered.
class ChatFixture : public TestFolders
{
public:
    explicit ChatFixture(bool withCommands = true);

    ConnectionTable table;
    std::unique_ptr<ChatServer> chat;

    quint16 port() const { return chat->port(); }
    // A connected client; its accept has run on return.
    std::unique_ptr<RawClient> connect(const QString &from = QStringLiteral("127.0.0.1"))
    {
        return RawClient::connected(port(), from);
    }
    // A connection without a network, accepted like a real one.
    QSharedPointer<SimulatedTransport> connectSimulated(const QByteArray &from = "127.0.0.1")
    {
        return SimulatedTransport::connectTo(chat->connections(), from);
    }
    // A client that has joined as `name`, with everything the join sent it read.
    std::unique_ptr<RawClient> join(const QByteArray &name,
                                    const QString &from = QStringLiteral("127.0.0.1"))
    {
        return RawClient::joined(port(), name, from);
    }
    // Index of the first row equal to `text`, -1 when none.
    int rowOf(const QByteArray &text) const { return table.findRowExactly(text); }
};
