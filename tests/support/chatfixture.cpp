#include "chatfixture.h"

#include "chat/chatcommands.h"

ChatFixture::ChatFixture(bool withCommands)
{
    chat = std::make_unique<ChatServer>(table, config);
    if (withCommands)
        registerChatCommands(*chat);
    QString error;
    if (!chat->listen(&error))
        qFatal("chat service did not listen: %s", qPrintable(error));
}

std::unique_ptr<RawClient> ChatFixture::connect(const QString &from)
{
    auto client = std::make_unique<RawClient>();
    if (!client->connectTo(port(), from))
        qWarning("could not connect from %s", qPrintable(from));
    return client;
}

std::unique_ptr<RawClient> ChatFixture::join(const QByteArray &name, const QString &from)
{
    auto client = connect(from);
    if (!client->join(name))
        qWarning("the join of %s did not end", name.constData());
    return client;
}

int rowIn(const ConnectionTable &table, const QByteArray &text)
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.row(i) == text)
            return i;
    }
    return -1;
}
