#include "chat/chatcommands.h"

#include "chat/commandcontext.h"
#include "chat/commandtable.h"
#include "core/chatserver.h"

#include <memory>

void registerChatCommands(ChatServer &server)
{
    auto context = std::make_shared<CommandContext>(server);
    server.setLineHandler([context](const Sender &sender, const Fields &fields) {
        return dispatchCommand(*context, sender, fields);
    });
}
