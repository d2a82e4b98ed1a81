#pragma once

#include <QByteArray>

class ChatServer;

// Finding users by the text of their user-list row: the whole row, compared
// with one case-folding rule, so the moderator mark and any state suffix are
// part of the name a client has to give.
namespace UserLookup {
// Sends `line` to the socket of every row that equals `name` ignoring case
// (rows 0 to 49 in order; sockets that are not connected are skipped).
void sendToMatching(ChatServer &server, const QByteArray &name, const QByteArray &line);
} // namespace UserLookup
