#include "chat/chatcommands.h"

#include "chat/joincommands.h"
#include "chat/messagingcommands.h"
#include "chat/moderationcommands.h"
#include "chat/presencecommands.h"
#include "chat/relaycommands.h"
#include "core/chatserver.h"

void registerChatCommands(ChatServer &server)
{
    JoinCommands::registerHandlers(server);
    MessagingCommands::registerHandlers(server);
    ModerationCommands::registerHandlers(server);
    PresenceCommands::registerHandlers(server);
    RelayCommands::registerHandlers(server);
}
