#pragma once

class ChatServer;

// Lines the server passes from one user to others found by name: profiles,
// pings, game invitations and answers, and address exchanges.
namespace RelayCommands {
void registerHandlers(ChatServer &server);
} // namespace RelayCommands
