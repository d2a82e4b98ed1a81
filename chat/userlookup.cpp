#include "chat/userlookup.h"

#include "core/chatserver.h"
#include "core/codepage.h"

void UserLookup::sendToMatching(ChatServer &server, const QByteArray &name, const QByteArray &line)
{
    const ConnectionTable &table = server.table();
    const QByteArray upper = Codepage::toUpper(name);
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.rowUpper(i) == upper)
            server.send(i, line);
    }
}
