#include "chatfixture.h"
#include "core/commandtable.h"
#include "platform/clientsocket.h"
#include "platform/listener.h"

#include <QSignalSpy>
#include <QTest>

#include <sys/socket.h>

namespace {

QList<Fields> seen;

// Records each line it is given; "SOUND" ends the chunk.
HandlerOutcome record(ChatServer &, const Sender &, const Fields &fields)
{
    seen.append(fields);
    return fields[0] == "SOUND" ? HandlerOutcome::Stop : HandlerOutcome::NextLine;
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
    void peerCloseEmptiesOnlyItsOwnRow_data();
    void peerCloseEmptiesOnlyItsOwnRow();
    void ownCloseIsNoPeerClose();
    void broadcastSkipsInGameRowsOnly();
    void dispatchIsExactAndStopDropsTheRestOfTheChunk();
    void nameClaimMustComeFromTheUsersAddress_data();
    void nameClaimMustComeFromTheUsersAddress();
    void pendingBytesDieWithTheConnectionAndSecretsStayOutOfTheLog();
    void floodIsReadInBoundedChunks();
    void startUpAndAcceptFaults();
};

void TestChatServer::init()
{
    seen.clear();
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
        ::setsockopt(int(leaving->socket().socketDescriptor()), SOL_SOCKET, SO_LINGER, &noLinger,
                     sizeof noLinger);
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
    auto other = f.connect();
    const int bobby = f.chat->acceptSimulated("10.0.0.2");
    f.table.slot(0).name = "Bob";
    f.table.setRow(0, "Bob");
    f.table.setRow(bobby, "Bobby");

    f.chat->disconnectUser(0);
    QCOMPARE(target->readLines(1), QList<QByteArray>{"REMOVEUSER\tBob\r\n"});
    QVERIFY(target->waitForDisconnect());
    // Our own close is no peer close: no second round of lines.
    QCOMPARE(other->drain(100), QByteArray("REMOVEUSER\tBob\r\n"));
    QCOMPARE(f.chat->socket(bobby).takeSimulatedOutput(), QByteArray("REMOVEUSER\tBob\r\n"));
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
    QCOMPARE(f.table.row(bobby), QByteArray("Bobby"));

    f.chat->shutdown();
    QVERIFY(other->waitForDisconnect());
    QCOMPARE(other->drain() + f.chat->socket(bobby).takeSimulatedOutput(), QByteArray());
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

    f.chat->broadcastMessage("Server: hi");
    QCOMPARE(f.chat->socket(clients[0]).takeSimulatedOutput(), QByteArray());
    for (int i : {clients[1], clients[2]})
        QCOMPARE(f.chat->socket(i).takeSimulatedOutput(), QByteArray("Message\tServer: hi\t\r\n"));
}

void TestChatServer::dispatchIsExactAndStopDropsTheRestOfTheChunk()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, record);
    f.chat->setHandler(Command::Msg, record);
    f.chat->setHandler(Command::Sound, record);
    const int client = f.chat->acceptSimulated("10.0.0.1");
    f.chat->socket(client).simulateReceive(
        "message\tx\r\nMSG\t1\r\n\r\nMessage\ta: \tb\r\nUNKNOWN\r\nMSG\r\nSOUND\r\nMSG\tx\r\n");
    f.chat->socket(client).simulateReceive("MSG\t2\r\n");
    QCOMPARE(seen, (QList<Fields>{
                       {"MSG", "1"}, {"Message", "a: ", "b"}, {"MSG"}, {"SOUND"}, {"MSG", "2"}}));
}

void TestChatServer::nameClaimMustComeFromTheUsersAddress_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("claim");
    QTest::addColumn<bool>("handled");
    QTest::newRow("same address") << QByteArray("10.0.0.1") << QByteArray("Bob: ") << true;
    QTest::newRow("other address") << QByteArray("10.0.0.2") << QByteArray("Bob: ") << false;
    QTest::newRow("other case") << QByteArray("10.0.0.2") << QByteArray("bOB: ") << false;
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

void TestChatServer::pendingBytesDieWithTheConnectionAndSecretsStayOutOfTheLog()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, record);
    f.chat->setHandler(Command::Motd, record);
    const int first = f.chat->acceptSimulated("10.0.0.1");
    f.chat->socket(first).simulateReceive("Mess");
    f.chat->socket(first).simulatePeerClose();
    QCOMPARE(f.chat->acceptSimulated("10.0.0.2"), first);
    ClientSocket &client = f.chat->socket(first);
    client.simulateReceive("age\tx\r\nMOTD\r\nPM\tbob\tsec");
    client.simulateReceive("ret\r\nRequestOP\tbob\tb@x\thun");
    client.simulateReceive("ter2\r\n");
    QCOMPARE(seen, (QList<Fields>{{"MOTD"}}));
    const QByteArray log = f.readWorkingFile("log.txt");
    QVERIFY2(log.contains("10.0.0.2 age\tx\r\nMOTD\r\nUser sent a Private Message\r\n"), log);
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

void TestChatServer::startUpAndAcceptFaults()
{
    ChatFixture f(false);
    QVERIFY(f.chat->loadMotd()); // no motd.txt: an empty MOTD
    QCOMPARE(f.chat->motd(), QByteArray());
    QSignalSpy notices(f.chat.get(), &ChatServer::operatorNotice);
    Q_EMIT f.chat->findChild<Listener *>()->connectionRequest(-7); // not a socket
    QCOMPARE(notices.size(), 1);
    QVERIFY(f.table.slot(0).free);

    ServerConfig busy = f.config;
    busy.chatPort = f.port();
    ChatServer second(f.table, busy);
    QString reason;
    QVERIFY(!second.listen(&reason));
    QVERIFY(!reason.isEmpty());
}

QTEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
