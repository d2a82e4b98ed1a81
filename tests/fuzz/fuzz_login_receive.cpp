// The login service's receive path over simulated connections that share the
// connection table with chat connections, with and without passwords required.
#include "accounts/loginserver.h"
#include "chat/chatcommands.h"
#include "core/chatserver.h"
#include "core/connectionpool.h"
#include "fuzzinput.h"
#include "simulatedworld.h"
#include "testfolders.h"

#include <cstdlib>
#include <memory>

namespace {

struct World : TestFolders
{
    ConnectionTable table;
    std::unique_ptr<LoginServer> login;
    std::unique_ptr<ChatServer> chat;
    // The peers of each entry, per service.
    SimulatedPeers loginPeers;
    SimulatedPeers chatPeers;
    int runs = 0;

    void closeBoth(int index) const
    {
        for (const SimulatedPeers *peers : {&loginPeers, &chatPeers}) {
            peers->peerClose(index);
            peers->takeSent(index);
        }
    }

    World()
    {
        login = std::make_unique<LoginServer>(table, config);
        chat = std::make_unique<ChatServer>(table, config);
        registerChatCommands(*chat);
    }
};

QByteArray requestLine(FuzzInput &input)
{
    const uint8_t kind = input.byte();
    QByteArray line = kind % 3 == 0   ? QByteArray("NEWUSER")
                      : kind % 3 == 1 ? QByteArray("VALIDATE")
                                      : input.untilZero();
    const int fields = input.byte() % 18;
    for (int i = 0; i < fields; ++i)
        line += '\t' + input.untilZero();
    return line + "\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    World &w = fuzzWorld<World>();
    FuzzInput input(data, size);
    int steps = 0;
    while (!input.atEnd() && ++steps < 200) {
        const uint8_t op = input.byte();
        const int slot = input.byte() % ConnectionTable::Size;
        switch (op % 7) {
        case 0:
            w.loginPeers.connect(w.login->connections(),
                                 "10.0.0." + QByteArray::number(input.byte() % 10));
            break;
        case 1:
            w.chatPeers.connect(w.chat->connections(),
                                "10.0.1." + QByteArray::number(input.byte() % 10));
            break;
        case 2:
            if (w.login->connections().isConnected(slot))
                w.loginPeers.latest[slot]->receive(input.bytes(input.byte()));
            break;
        case 3:
            if (w.login->connections().isConnected(slot))
                w.loginPeers.latest[slot]->receive(requestLine(input));
            break;
        case 4:
            w.login->setPasswordsRequired(input.byte() % 2 == 1);
            break;
        case 5:
            w.closeBoth(slot);
            break;
        case 6:
            w.loginPeers.takeSent(slot);
            break;
        }
        // One entry is never held by both services.
        if (w.login->connections().isConnected(slot) && w.chat->isConnected(slot))
            std::abort();
    }
    for (int i = 0; i < ConnectionTable::Size; ++i)
        w.closeBoth(i);
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (!w.table.slot(i).free)
            std::abort();
    }
    if (++w.runs % 200 == 0) {
        removeFiles(w.programFolder);
        removeFiles(w.workingDirectory);
    }
    return 0;
}
