#pragma once

class ChatServer;

// Moderator rights and what they allow: "RequestOP", "GETIP", "BAN", "KICK",
// "IPBAN".
namespace ModerationCommands {
void registerHandlers(ChatServer &server);
} // namespace ModerationCommands
