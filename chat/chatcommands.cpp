#include "chat/chatcommands.h"

#include "core/chatserver.h"

void registerChatCommands(ChatServer &server)
{
    Q_UNUSED(server);
}
