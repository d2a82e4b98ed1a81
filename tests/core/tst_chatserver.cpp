#include "chatfixture.h"
#include "core/commandtable.h"
#include "platform/clientsocket.h"
#include "platform/listener.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <functional>

#include <sys/socket.h>

namespace {

QList<Fields> seen;
std::function<HandlerOutcome(ChatServer &, const Sender &)> action;

HandlerOutcome record(ChatServer &server, const Sender &sender, const Fields &fields)
{
    seen.append(fields);
    return action ? action(server, sender) : HandlerOutcome::NextLine;
}

HandlerOutcome recordAndStop(ChatServer &, const Sender &, const Fields &fields)
{
    seen.append(fields);
    return HandlerOutcome::Stop;
}

QByteArray closeLines(const QByteArray &name)
{
    return "Announce\t" + name + " got bored with life and left Tarnwick!\r\nREMOVEUSER\t" + name +
           "\r\nREMOVEUSER\t" + name + " [IG]\r\nREMOVEUSER\t" + name + " [AW]\r\n";
}

} // namespace

class TestChatServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void fiftyFirstIsClosedAtOnceAndSlotsAreReusedLowestFirst();
    void peerCloseEmptiesOnlyItsOwnRow_data();
    void peerCloseEmptiesOnlyItsOwnRow();
    void ownCloseIsNoPeerClose();
    void broadcastSkipsInGameRowsOnly();
    void dispatchIsExactAndStopDropsTheRestOfTheChunk();
    void nameClaimMustComeFromTheUsersAddress_data();
    void nameClaimMustComeFromTheUsersAddress();
    void unfinishedLineDiesWithItsConnection();
    void privateTextNeverReachesTheLog();
    void floodIsReadInBoundedChunks();
    void handlerStopsWhenItsSenderLeftDuringAYield();
    void failedAcceptGivesTheSlotBack();
    void busyPortAndMissingMotd();
};

void TestChatServer::init()
{
    seen.clear();
    action = nullptr;
}

void TestChatServer::fiftyFirstIsClosedAtOnceAndSlotsAreReusedLowestFirst()
{
    ChatFixture f(false);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < ConnectionTable::Size; ++i)
        clients.push_back(f.connect());
    QTRY_VERIFY(!f.table.slot(49).free);
    auto extra = f.connect();
    QVERIFY(extra->waitForDisconnect());
    clients[7]->close();
    clients[3]->close();
    QTRY_VERIFY(f.table.slot(3).free && f.table.slot(7).free);
    // The refused request does not come back for a freed slot.
    QTest::qWait(50);
    QVERIFY(f.table.slot(3).free);
    clients.push_back(f.connect());
    QTRY_VERIFY(!f.table.slot(3).free);
    QVERIFY(f.table.slot(7).free);
}

void TestChatServer::peerCloseEmptiesOnlyItsOwnRow_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("reset");
    QTest::newRow("joined") << QByteArray("bob") << false;
    QTest::newRow("never joined") << QByteArray() << false;
    QTest::newRow("reset") << QByteArray("bob") << true;
}

void TestChatServer::peerCloseEmptiesOnlyItsOwnRow()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, reset);
    ChatFixture f(false);
    f.chat->setHandler(Command::Msg, record);
    auto leaving = f.connect();
    const int bobby = f.chat->acceptSimulated("10.0.0.2");
    f.table.slot(0).name = name;
    if (!name.isEmpty())
        f.table.setRow(0, name + " [AW]");
    // A row that begins with the leaving name belongs to somebody else.
    f.table.setRow(bobby, name + "by");

    if (reset) {
        linger noLinger{1, 0};
        QCOMPARE(::setsockopt(int(leaving->socket().socketDescriptor()), SOL_SOCKET, SO_LINGER,
                              &noLinger, sizeof noLinger),
                 0);
        leaving->abort();
    } else {
        // A line right before the close is still handled.
        leaving->send("MSG\tlast\r\n");
        leaving->close();
    }
    QTRY_VERIFY(f.table.slot(0).free);
    QTest::qWait(50);
    QCOMPARE(f.chat->socket(bobby).takeSimulatedOutput(), closeLines(name));
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
    QCOMPARE(f.table.row(bobby), name + "by");
    QCOMPARE(seen.size(), reset ? 0 : 1);
}

void TestChatServer::ownCloseIsNoPeerClose()
{
    ChatFixture f(false);
    auto target = f.connect();
    auto bobby = f.connect();
    QTRY_VERIFY(!f.table.slot(1).free);
    f.table.slot(0).name = "Bob";
    f.table.setRow(0, "Bob");
    f.table.setRow(1, "bobby");

    f.chat->disconnectUser(0);
    QCOMPARE(target->readLines(1), QList<QByteArray>{"REMOVEUSER\tBob\r\n"});
    QVERIFY(target->waitForDisconnect());
    QCOMPARE(bobby->readLines(1), QList<QByteArray>{"REMOVEUSER\tBob\r\n"});
    QCOMPARE(bobby->drain(150), QByteArray());
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
    QCOMPARE(f.table.row(1), QByteArray("bobby"));
    QVERIFY(f.table.slot(0).free);

    f.chat->shutdown();
    QVERIFY(bobby->waitForDisconnect());
    QCOMPARE(bobby->drain(), QByteArray());
    QCOMPARE(f.table.row(1), ConnectionTable::EmptyRow);
}

void TestChatServer::broadcastSkipsInGameRowsOnly()
{
    ChatFixture f(false);
    QList<int> clients;
    for (int i = 0; i < 3; ++i)
        clients << f.chat->acceptSimulated("10.0.0.1");
    f.table.setRow(clients[0], "ann [IG]");
    f.table.setRow(clients[1], "dee [IG] [AW]"); // the suffix is not last
    f.table.setRow(40, "ghost");                 // listed, but no connection: skipped
    QSignalSpy output(f.chat.get(), &ChatServer::outputLine);

    f.chat->broadcastMessage("Server: hi");
    QCOMPARE(f.chat->socket(clients[0]).takeSimulatedOutput(), QByteArray());
    for (int i : {clients[1], clients[2]})
        QCOMPARE(f.chat->socket(i).takeSimulatedOutput(), QByteArray("Message\tServer: hi\t\r\n"));
    QCOMPARE(output.size(), 1);
    QCOMPARE(output.at(0).at(0).toByteArray(), QByteArray("Server: hi"));
}

void TestChatServer::dispatchIsExactAndStopDropsTheRestOfTheChunk()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, record);
    f.chat->setHandler(Command::Msg, record);
    f.chat->setHandler(Command::Sound, recordAndStop);
    const int client = f.chat->acceptSimulated("10.0.0.1");
    f.chat->socket(client).simulateReceive("message\tlower\r\nMSG\tfirst\r\n\r\nMessage\ta: \tb\r\n"
                                           "UNKNOWN\tx\r\nMSG\r\nSOUND\tding\r\nMSG\tdropped\r\n");
    f.chat->socket(client).simulateReceive("MSG\tnext chunk\r\n");
    QCOMPARE(seen, (QList<Fields>{{"MSG", "first"},
                                  {"Message", "a: ", "b"},
                                  {"MSG"},
                                  {"SOUND", "ding"},
                                  {"MSG", "next chunk"}}));
}

void TestChatServer::nameClaimMustComeFromTheUsersAddress_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("claim");
    QTest::addColumn<bool>("handled");
    QTest::newRow("same address") << QByteArray("10.0.0.1") << QByteArray("Bob: ") << true;
    QTest::newRow("other address") << QByteArray("10.0.0.2") << QByteArray("Bob: ") << false;
    QTest::newRow("other case") << QByteArray("10.0.0.2") << QByteArray("bOB: ") << false;
    QTest::newRow("no space") << QByteArray("10.0.0.2") << QByteArray("Bob:") << true;
    QTest::newRow("prefix of a name") << QByteArray("10.0.0.2") << QByteArray("Bo: ") << true;
}

void TestChatServer::nameClaimMustComeFromTheUsersAddress()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, claim);
    QFETCH(bool, handled);
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, record);
    f.table.setRow(f.chat->acceptSimulated("10.0.0.1"), "Bob");
    const int speaker = f.chat->acceptSimulated(from);
    f.chat->socket(speaker).simulateReceive("Message\t" + claim + "\thi\r\nMessage\tafter\tx\r\n");
    // A refused claim takes the rest of the chunk with it.
    QCOMPARE(seen.size(), handled ? 2 : 0);
}

void TestChatServer::unfinishedLineDiesWithItsConnection()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, record);
    f.chat->setHandler(Command::Motd, record);
    const int first = f.chat->acceptSimulated("10.0.0.1");
    f.chat->socket(first).simulateReceive("Mess");
    f.chat->socket(first).simulatePeerClose();
    QCOMPARE(f.chat->acceptSimulated("10.0.0.2"), first);
    f.chat->socket(first).simulateReceive("age\tx\r\nMOTD\r\n");
    QCOMPARE(seen, (QList<Fields>{{"MOTD"}}));
}

void TestChatServer::privateTextNeverReachesTheLog()
{
    ChatFixture f(false);
    ClientSocket &client = f.chat->socket(f.chat->acceptSimulated("10.0.0.2"));
    client.simulateReceive("MOTD\r\nPM\tbob\tsec");
    client.simulateReceive("ret\tann\r\nRequestOP\tbob\tb@x\thun");
    client.simulateReceive("ter2\r\n");
    const QByteArray log = f.readWorkingFile("log.txt");
    QVERIFY2(log.contains("10.0.0.2 MOTD\r\nUser sent a Private Message\r\n"), log);
    QVERIFY(log.contains("10.0.0.2 User sent a Private Message\r\nRequestOP\tbob\tb@x\t***\r\n"));
    QVERIFY(log.endsWith("10.0.0.2 ***\r\r\n"));
}

// The read buffer is capped, so a flooding client is held back by TCP.
void TestChatServer::floodIsReadInBoundedChunks()
{
    ChatFixture f(false);
    auto client = f.connect();
    const QByteArray flood(3 * ClientSocket::InputBufferSize, 'x');
    client->send(flood);
    QTRY_VERIFY(f.readWorkingFile("log.txt").size() > flood.size());
    const QList<QByteArray> entries = f.readWorkingFile("log.txt").split('\n');
    QVERIFY(entries.size() > 3);
    for (const QByteArray &entry : entries)
        QVERIFY(entry.size() <= ClientSocket::InputBufferSize + 64);
}

void TestChatServer::handlerStopsWhenItsSenderLeftDuringAYield()
{
    ChatFixture f(false);
    bool stillHere = true;
    action = [&](ChatServer &server, const Sender &sender) {
        // The sender leaves and somebody else takes its slot meanwhile.
        server.socket(sender.index).simulatePeerClose();
        server.acceptSimulated("10.0.0.9");
        stillHere = server.yieldFor(sender);
        if (!stillHere)
            return HandlerOutcome::Stop;
        server.table().setRow(sender.index, "wrong");
        return HandlerOutcome::NextLine;
    };
    f.chat->setHandler(Command::Name, record);
    f.chat->setHandler(Command::Msg, record);
    f.chat->socket(f.chat->acceptSimulated("10.0.0.1")).simulateReceive("Name\tbob\r\nMSG\tx\r\n");
    QVERIFY(!stillHere);
    QCOMPARE(seen.size(), 1);
    QVERIFY(!f.table.slot(0).free);
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
}

void TestChatServer::failedAcceptGivesTheSlotBack()
{
    ChatFixture f(false);
    QSignalSpy notices(f.chat.get(), &ChatServer::operatorNotice);
    Q_EMIT f.chat->findChild<Listener *>()->connectionRequest(-7); // not a socket
    QCOMPARE(notices.size(), 1);
    QVERIFY(f.table.slot(0).free);
    auto client = f.connect();
    QTRY_VERIFY(f.chat->isConnected(0));
}

void TestChatServer::busyPortAndMissingMotd()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    ChatFixture f(false);
    ServerConfig config = f.config;
    config.chatPort = holder.serverPort();
    ChatServer chat(f.table, config);
    QString reason;
    QVERIFY(!chat.listen(&reason));
    QVERIFY(!reason.isEmpty());

    chat.setMotd("old");
    QVERIFY(chat.loadMotd());
    QCOMPARE(chat.motd(), QByteArray());
}

QTEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
