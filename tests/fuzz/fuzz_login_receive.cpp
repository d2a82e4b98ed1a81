// The login service's receive path over simulated connections that share the
// connection table with chat connections, with and without passwords required.
#include "accounts/loginserver.h"
#include "chat/chatcommands.h"
#include "core/chatserver.h"
#include "core/connectionpool.h"
#include "fuzzinput.h"
#include "simulatedtransport.h"
#include "testfolders.h"

#include <QCoreApplication>
#include <QDir>

#include <array>
#include <cstdlib>
#include <memory>

namespace {

struct World : TestFolders
{
    ConnectionTable table;
    std::unique_ptr<LoginServer> login;
    std::unique_ptr<ChatServer> chat;
    // The peer of each entry's latest simulated connection, per service.
    using Peers = std::array<QSharedPointer<SimulatedTransport>, ConnectionTable::Size>;
    Peers loginPeers;
    Peers chatPeers;
    int runs = 0;

    static void connect(ConnectionPool &pool, Peers &peers, const QByteArray &address)
    {
        auto peer = SimulatedTransport::connectTo(pool, address);
        if (peer->index() >= 0)
            peers[peer->index()] = peer;
    }
    void closeBoth(int index)
    {
        for (Peers *peers : {&loginPeers, &chatPeers}) {
            if (const auto &peer = (*peers)[index]) {
                peer->peerClose();
                peer->takeSent();
            }
        }
    }

    World()
    {
        login = std::make_unique<LoginServer>(table, config);
        chat = std::make_unique<ChatServer>(table, config);
        registerChatCommands(*chat);
    }

    void sweep()
    {
        for (QTemporaryDir *dir : {&programFolder, &workingDirectory}) {
            QDir folder(dir->path());
            for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden))
                folder.remove(name);
        }
    }
};

World &world()
{
    static int argc = 1;
    static char name[] = "fuzz_login_receive";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World instance;
    return instance;
}

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
    World &w = world();
    FuzzInput input(data, size);
    int steps = 0;
    while (!input.atEnd() && ++steps < 200) {
        const uint8_t op = input.byte();
        const int slot = input.byte() % ConnectionTable::Size;
        switch (op % 7) {
        case 0:
            World::connect(w.login->connections(), w.loginPeers,
                           "10.0.0." + QByteArray::number(input.byte() % 10));
            break;
        case 1:
            World::connect(w.chat->connections(), w.chatPeers,
                           "10.0.1." + QByteArray::number(input.byte() % 10));
            break;
        case 2:
            if (w.login->connections().isConnected(slot))
                w.loginPeers[slot]->receive(input.bytes(input.byte()));
            break;
        case 3:
            if (w.login->connections().isConnected(slot))
                w.loginPeers[slot]->receive(requestLine(input));
            break;
        case 4:
            w.login->setPasswordsRequired(input.byte() % 2 == 1);
            break;
        case 5:
            w.closeBoth(slot);
            break;
        case 6:
            if (const auto &peer = w.loginPeers[slot])
                peer->takeSent();
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
    if (++w.runs % 200 == 0)
        w.sweep();
    return 0;
}
