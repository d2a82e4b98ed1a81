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

int rowIn(const ConnectionTable &table, const QByteArray &text)
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.row(i) == text)
            return i;
    }
    return -1;
}
