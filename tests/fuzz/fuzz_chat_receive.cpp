// The chat service's receive path over 50 simulated connections: framing, the
// name-claim check, dispatch and every handler, with connections coming and
// going between chunks.
#include "chat/chatcommands.h"
#include "chat/commandtable.h"
#include "core/chatserver.h"
#include "fuzzinput.h"
#include "simulatedworld.h"
#include "testfolders.h"

#include <cstdlib>
#include <memory>

namespace {

struct World : TestFolders
{
    ConnectionTable table;
    std::unique_ptr<ChatServer> chat;
    SimulatedPeers peers;
    int runs = 0;

    World()
    {
        writeProgramFile("sysops.dat", "\r\nmod\tmod@example.org\tsecret\r\n");
        writeProgramFile("ban.txt", "\"10.0.0.9\"\r\n");
        chat = std::make_unique<ChatServer>(table, config);
        registerChatCommands(*chat);
    }
};

// A line built from the keyword table, so every handler is reached often.
QByteArray keywordLine(FuzzInput &input)
{
    QByteArray line = CommandRows[input.byte() % CommandCount].keyword.toByteArray();
    const int fields = input.byte() % 18;
    for (int i = 0; i < fields; ++i)
        line += '\t' + input.untilZero();
    return line + "\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    World &w = fuzzWorld<World>();
    ChatServer &chat = *w.chat;
    FuzzInput input(data, size);
    int steps = 0;
    while (!input.atEnd() && ++steps < 400) {
        const uint8_t op = input.byte();
        const int slot = input.byte() % ConnectionTable::Size;
        switch (op % 6) {
        case 0:
            w.peers.connect(chat.connections(), "10.0.0." + QByteArray::number(input.byte() % 10));
            break;
        case 1:
            if (chat.isConnected(slot))
                w.peers.latest[slot]->receive(input.bytes(input.byte()));
            break;
        case 2:
            if (chat.isConnected(slot))
                w.peers.latest[slot]->receive(keywordLine(input));
            break;
        case 3:
            w.peers.peerClose(slot);
            break;
        case 4:
            w.peers.takeSent(slot);
            break;
        case 5:
            if (chat.isConnected(slot) && input.byte() % 8 == 0)
                chat.disconnectUser(slot);
            break;
        }
    }
    // Everybody leaves: every slot must be free again.
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        w.peers.peerClose(i);
        w.peers.takeSent(i);
    }
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        const ConnectionSlot &s = w.table.slot(i);
        if (!s.free || !s.name.isEmpty() || s.operatorFlag)
            std::abort();
        if (w.table.row(i) != ConnectionTable::EmptyRow)
            std::abort();
    }
    if (++w.runs % 500 == 0)
        removeFiles(w.workingDirectory);
    return 0;
}
