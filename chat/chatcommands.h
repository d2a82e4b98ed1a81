#pragma once

class ChatServer;

// Puts the chat command handlers into the server's dispatch table.
void registerChatCommands(ChatServer &server);
