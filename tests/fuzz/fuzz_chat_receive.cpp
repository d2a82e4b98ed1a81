// The chat service's receive path over 50 simulated connections: framing, the
// name-claim check, dispatch and every handler, with connections coming and
// going between chunks.
#include "chat/chatcommands.h"
#include "core/chatserver.h"
#include "core/commandtable.h"
#include "fuzzinput.h"
#include "platform/clientsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace {

struct World
{
    QTemporaryDir programFolder;
    QTemporaryDir workingDirectory;
    ConnectionTable table;
    std::unique_ptr<ChatServer> chat;
    int runs = 0;

    World()
    {
        ServerConfig config;
        config.programFolder = programFolder.path();
        config.workingDirectory = workingDirectory.path();
        QFile sysops(config.programFile("sysops.dat"));
        if (sysops.open(QIODevice::WriteOnly))
            sysops.write("\r\nmod\tmod@example.org\tsecret\r\n");
        QFile bans(config.programFile("ban.txt"));
        if (bans.open(QIODevice::WriteOnly))
            bans.write("\"10.0.0.9\"\r\n");
        chat = std::make_unique<ChatServer>(table, config);
        registerChatCommands(*chat);
    }

    // Files the handlers write (log, records) must not fill the disk on a
    // long run.
    void sweepWorkingDirectory()
    {
        QDir dir(workingDirectory.path());
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
            dir.remove(name);
    }
};

World &world()
{
    static int argc = 1;
    static char name[] = "fuzz_chat_receive";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World instance;
    return instance;
}

// A line built from the keyword table, so every handler is reached often.
QByteArray keywordLine(FuzzInput &input)
{
    QByteArray line = CommandKeywords[input.byte() % CommandCount].toByteArray();
    const int fields = input.byte() % 18;
    for (int i = 0; i < fields; ++i)
        line += '\t' + input.untilZero();
    return line + "\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    World &w = world();
    ChatServer &chat = *w.chat;
    FuzzInput input(data, size);
    int steps = 0;
    while (!input.atEnd() && ++steps < 400) {
        const uint8_t op = input.byte();
        const int slot = input.byte() % ConnectionTable::Size;
        switch (op % 6) {
        case 0:
            chat.acceptSimulated("10.0.0." + QByteArray::number(input.byte() % 10));
            break;
        case 1:
            if (chat.isConnected(slot))
                chat.socket(slot).simulateReceive(input.bytes(input.byte()));
            break;
        case 2:
            if (chat.isConnected(slot))
                chat.socket(slot).simulateReceive(keywordLine(input));
            break;
        case 3:
            chat.socket(slot).simulatePeerClose();
            break;
        case 4:
            chat.socket(slot).takeSimulatedOutput();
            break;
        case 5:
            if (chat.isConnected(slot) && input.byte() % 8 == 0)
                chat.disconnectUser(slot);
            break;
        }
    }
    // Everybody leaves: every slot must be free again.
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        chat.socket(i).simulatePeerClose();
        chat.socket(i).takeSimulatedOutput();
    }
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        const ConnectionSlot &s = w.table.slot(i);
        if (!s.free || !s.name.isEmpty() || s.operatorFlag)
            std::abort();
        if (w.table.row(i) != ConnectionTable::EmptyRow)
            std::abort();
    }
    if (++w.runs % 500 == 0)
        w.sweepWorkingDirectory();
    return 0;
}
