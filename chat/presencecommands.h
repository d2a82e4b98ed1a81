#pragma once

class ChatServer;

// State marks in the user list ("INGAME", "[CS]", "[AW]", "RETURNCS",
// "RETURN"), sounds ("SOUND") and texts for the operator ("IP").
namespace PresenceCommands {
void registerHandlers(ChatServer &server);
} // namespace PresenceCommands
