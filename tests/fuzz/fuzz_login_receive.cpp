// The login service's receive path over simulated connections that share the
// connection table with chat connections, with and without passwords required.
#include "accounts/loginserver.h"
#include "chat/chatcommands.h"
#include "core/chatserver.h"
#include "fuzzinput.h"
#include "platform/clientsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace {

struct World
{
    QTemporaryDir programFolder;
    QTemporaryDir workingDirectory;
    ConnectionTable table;
    std::unique_ptr<LoginServer> login;
    std::unique_ptr<ChatServer> chat;
    int runs = 0;

    World()
    {
        ServerConfig config;
        config.programFolder = programFolder.path();
        config.workingDirectory = workingDirectory.path();
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
            w.login->acceptSimulated("10.0.0." + QByteArray::number(input.byte() % 10));
            break;
        case 1:
            w.chat->acceptSimulated("10.0.1." + QByteArray::number(input.byte() % 10));
            break;
        case 2:
            if (w.login->isConnected(slot))
                w.login->socket(slot).simulateReceive(input.bytes(input.byte()));
            break;
        case 3:
            if (w.login->isConnected(slot))
                w.login->socket(slot).simulateReceive(requestLine(input));
            break;
        case 4:
            w.login->setPasswordsRequired(input.byte() % 2 == 1);
            break;
        case 5:
            w.login->socket(slot).simulatePeerClose();
            w.chat->socket(slot).simulatePeerClose();
            break;
        case 6:
            w.login->socket(slot).takeSimulatedOutput();
            break;
        }
        // One entry is never held by both services.
        if (w.login->isConnected(slot) && w.chat->isConnected(slot))
            std::abort();
    }
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        w.login->socket(i).simulatePeerClose();
        w.login->socket(i).takeSimulatedOutput();
        w.chat->socket(i).simulatePeerClose();
        w.chat->socket(i).takeSimulatedOutput();
    }
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (!w.table.slot(i).free)
            std::abort();
    }
    if (++w.runs % 200 == 0)
        w.sweep();
    return 0;
}
