#pragma once

class ChatServer;

// Hands the server's lines to the chat commands (the dispatch table).
void registerChatCommands(ChatServer &server);
