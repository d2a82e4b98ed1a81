#pragma once

class ChatServer;

// The room and private lines: "Message", "MSG", "ACTION", "PM", "URL".
namespace MessagingCommands {
void registerHandlers(ChatServer &server);
} // namespace MessagingCommands
