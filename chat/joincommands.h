#pragma once

class ChatServer;

// Joining: "Name", "MOTD", "PROFILE", "SERVER" and the chat service's "NEWUSER".
namespace JoinCommands {
void registerHandlers(ChatServer &server);
} // namespace JoinCommands
