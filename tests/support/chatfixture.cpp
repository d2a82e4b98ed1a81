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
