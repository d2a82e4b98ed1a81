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

// What the test handlers saw, and what they do.
struct Recorder
{
    QList<Fields> seen;
    std::function<HandlerOutcome(ChatServer &, const Sender &, const Fields &)> action;
};
Recorder recorder;

HandlerOutcome recordLine(ChatServer &server, const Sender &sender, const Fields &fields)
{
    recorder.seen.append(fields);
    return recorder.action ? recorder.action(server, sender, fields) : HandlerOutcome::NextLine;
}

HandlerOutcome stopAfterLine(ChatServer &, const Sender &, const Fields &fields)
{
    recorder.seen.append(fields);
    return HandlerOutcome::Stop;
}

const QByteArray Bored = " got bored with life and left Tarnwick!";

QList<QByteArray> closeLines(const QByteArray &name)
{
    return {"Announce\t" + name + Bored + "\r\n", "REMOVEUSER\t" + name + "\r\n",
            "REMOVEUSER\t" + name + " [IG]\r\n", "REMOVEUSER\t" + name + " [AW]\r\n"};
}

bool waitUntil(const std::function<bool()> &condition, int ms = 3000)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (condition())
            return true;
        QTest::qWait(5);
    }
    return condition();
}

} // namespace

class TestChatServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void fiftyConnectionsAndTheFiftyFirstIsClosedAtOnce();
    void indicesAreReusedLowestFirst();
    void peerCloseTellsEveryoneAndEmptiesOnlyItsOwnRow_data();
    void peerCloseTellsEveryoneAndEmptiesOnlyItsOwnRow();
    void linesSentJustBeforeTheCloseAreStillHandled();
    void disconnectUserSendsRemoveUserToAllWithoutAnnouncement();
    void shutdownDropsEveryoneSilently();
    void broadcastSkipsInGameRowsOnly();
    void dispatchIsExactAndLinesRunInOrder();
    void stopDropsTheRestOfTheChunkOnly();
    void nameClaimMustComeFromTheUsersAddress_data();
    void nameClaimMustComeFromTheUsersAddress();
    void receiveEntriesAreLogged();
    void handlerStopsWhenItsSenderLeftDuringAYield();
    void busyPortIsReported();
    void unfinishedLineDiesWithItsConnection();
    void failedAcceptGivesTheSlotBack();
    void simulatedConnectionsShareTheTable();
    void motdIsReadFromTheProgramFolder();
};

void TestChatServer::init()
{
    recorder = Recorder();
}

void TestChatServer::fiftyConnectionsAndTheFiftyFirstIsClosedAtOnce()
{
    ChatFixture f(false);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < ConnectionTable::Size; ++i)
        clients.push_back(f.connect());
    QVERIFY(waitUntil([&] { return !f.table.slot(49).free; }));
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        QVERIFY(!f.table.slot(i).free);
        QVERIFY(f.chat->isConnected(i));
    }
    auto extra = f.connect();
    QVERIFY(extra->waitForDisconnect());
    // Freeing a slot later does not bring the refused request back.
    clients[7]->close();
    QVERIFY(waitUntil([&] { return f.table.slot(7).free; }));
    QTest::qWait(50);
    QVERIFY(f.table.slot(7).free);
    QCOMPARE(f.table.row(49), ConnectionTable::EmptyRow);
}

void TestChatServer::indicesAreReusedLowestFirst()
{
    ChatFixture f(false);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 10; ++i)
        clients.push_back(f.connect());
    QVERIFY(waitUntil([&] { return !f.table.slot(9).free; }));
    clients[3]->close();
    clients[6]->close();
    QVERIFY(waitUntil([&] { return f.table.slot(3).free && f.table.slot(6).free; }));
    auto next = f.connect();
    QVERIFY(waitUntil([&] { return !f.table.slot(3).free; }));
    QVERIFY(f.table.slot(6).free);
    QVERIFY(f.table.slot(10).free);
}

void TestChatServer::peerCloseTellsEveryoneAndEmptiesOnlyItsOwnRow_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("reset");
    QTest::newRow("joined user") << QByteArray("bob") << false;
    QTest::newRow("moderator keeps the mark") << QByteArray("\xA5") + "bob" << false;
    QTest::newRow("never joined") << QByteArray() << false;
    QTest::newRow("reset instead of close") << QByteArray("bob") << true;
}

void TestChatServer::peerCloseTellsEveryoneAndEmptiesOnlyItsOwnRow()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, reset);
    ChatFixture f(false);
    auto leaving = f.connect();
    auto bobby = f.connect();
    auto other = f.connect();
    QVERIFY(waitUntil([&] { return !f.table.slot(2).free; }));
    f.table.slot(0).name = name;
    f.table.slot(0).operatorFlag = true;
    if (!name.isEmpty())
        f.table.setRow(0, name + " [AW]");
    // Rows that begin with the leaving name belong to somebody else.
    f.table.slot(1).name = "bobby";
    f.table.setRow(1, "bobby");
    f.table.setRow(2, name + " [CS]");

    if (reset) {
        // Linger 0: the close becomes a reset; handled the same way, once.
        linger noLinger{1, 0};
        QCOMPARE(::setsockopt(int(leaving->socket().socketDescriptor()), SOL_SOCKET, SO_LINGER,
                              &noLinger, sizeof noLinger),
                 0);
        leaving->abort();
    } else {
        leaving->close();
    }
    const QList<QByteArray> expected = closeLines(name);
    QCOMPARE(other->readLines(4), expected);
    QCOMPARE(bobby->readLines(4), expected);
    QCOMPARE(other->drain(100), QByteArray());
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
    QCOMPARE(f.table.row(1), QByteArray("bobby"));
    QCOMPARE(f.table.row(2), QByteArray(name + " [CS]"));
    QVERIFY(f.table.slot(0).free);
    QVERIFY(f.table.slot(0).name.isEmpty());
    QVERIFY(!f.table.slot(0).operatorFlag);
}

void TestChatServer::linesSentJustBeforeTheCloseAreStillHandled()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Motd, recordLine);
    auto leaving = f.connect();
    auto other = f.connect();
    leaving->send("MOTD\r\n");
    leaving->close();
    QCOMPARE(other->readLines(4), closeLines(""));
    QCOMPARE(recorder.seen.size(), 1);
}

void TestChatServer::disconnectUserSendsRemoveUserToAllWithoutAnnouncement()
{
    ChatFixture f(false);
    auto target = f.connect();
    auto bobby = f.connect();
    QVERIFY(waitUntil([&] { return !f.table.slot(1).free; }));
    f.table.slot(0).name = "Bob";
    f.table.setRow(0, "Bob");
    f.table.slot(1).name = "bobby";
    f.table.setRow(1, "bobby");

    f.chat->disconnectUser(0);
    QCOMPARE(target->readLines(1), QList<QByteArray>{"REMOVEUSER\tBob\r\n"});
    QVERIFY(target->waitForDisconnect());
    QCOMPARE(bobby->readLines(1), QList<QByteArray>{"REMOVEUSER\tBob\r\n"});
    // Our own close is not a peer close: no second round of lines.
    QCOMPARE(bobby->drain(150), QByteArray());
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
    QCOMPARE(f.table.row(1), QByteArray("bobby"));
    QVERIFY(f.table.slot(0).free);
    QVERIFY(f.table.slot(0).name.isEmpty());
    // Out-of-range indices are ignored.
    f.chat->disconnectUser(-1);
    f.chat->disconnectUser(50);
}

void TestChatServer::shutdownDropsEveryoneSilently()
{
    ChatFixture f(false);
    auto a = f.connect();
    auto b = f.connect();
    QVERIFY(waitUntil([&] { return !f.table.slot(1).free; }));
    f.table.setRow(1, "bob");
    f.chat->shutdown();
    QVERIFY(a->waitForDisconnect());
    QVERIFY(b->waitForDisconnect());
    QCOMPARE(a->drain(), QByteArray());
    QCOMPARE(b->drain(), QByteArray());
    QCOMPARE(f.table.row(1), ConnectionTable::EmptyRow);
    QVERIFY(f.table.slot(0).free && f.table.slot(1).free);
}

void TestChatServer::broadcastSkipsInGameRowsOnly()
{
    ChatFixture f(false);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 5; ++i)
        clients.push_back(f.connect());
    QVERIFY(waitUntil([&] { return !f.table.slot(4).free; }));
    f.table.setRow(0, "ann [IG]");
    f.table.setRow(1, "bob [AW]");
    f.table.setRow(2, "cy [CS]");
    f.table.setRow(3, "dee [IG] [AW]"); // in a game, but the suffix is not last
    QSignalSpy output(f.chat.get(), &ChatServer::outputLine);

    f.chat->broadcastMessage("Server: hi");
    const QList<QByteArray> line{"Message\tServer: hi\t\r\n"};
    for (int i = 1; i < 5; ++i)
        QCOMPARE(clients[i]->readLines(1), line);
    QCOMPARE(clients[0]->drain(), QByteArray());
    QCOMPARE(output.size(), 1);
    QCOMPARE(output.at(0).at(0).toByteArray(), QByteArray("Server: hi"));
}

void TestChatServer::dispatchIsExactAndLinesRunInOrder()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, recordLine);
    f.chat->setHandler(Command::Msg, recordLine);
    auto client = f.connect();
    client->send("message\tlower\r\nMSG\tfirst\r\n\r\nMessage\ta: \tb\r\nUNKNOWN\tx\r\nMSG\r\n");
    QVERIFY(waitUntil([&] { return recorder.seen.size() >= 3; }));
    QTest::qWait(50);
    QCOMPARE(recorder.seen, (QList<Fields>{{"MSG", "first"}, {"Message", "a: ", "b"}, {"MSG"}}));
}

void TestChatServer::stopDropsTheRestOfTheChunkOnly()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Sound, stopAfterLine);
    f.chat->setHandler(Command::Msg, recordLine);
    auto client = f.connect();
    client->send("MSG\tbefore\r\nSOUND\tding\r\nMSG\tdropped\r\n");
    QVERIFY(waitUntil([&] { return recorder.seen.size() >= 2; }));
    QTest::qWait(50);
    client->send("MSG\tnext chunk\r\n");
    QVERIFY(waitUntil([&] { return recorder.seen.size() >= 3; }));
    QCOMPARE(recorder.seen,
             (QList<Fields>{{"MSG", "before"}, {"SOUND", "ding"}, {"MSG", "next chunk"}}));
}

void TestChatServer::nameClaimMustComeFromTheUsersAddress_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QByteArray>("claim");
    QTest::addColumn<bool>("handled");
    QTest::newRow("own name, same address") << "127.0.0.1" << QByteArray("Bob: ") << true;
    QTest::newRow("other address") << "127.0.0.2" << QByteArray("Bob: ") << false;
    QTest::newRow("other address, other case") << "127.0.0.2" << QByteArray("bOB: ") << false;
    QTest::newRow("no space after the colon") << "127.0.0.2" << QByteArray("Bob:") << true;
    QTest::newRow("suffix is part of the display name")
        << "127.0.0.2" << QByteArray("Bob: ") << false;
    QTest::newRow("not a listed name") << "127.0.0.2" << QByteArray("Rob: ") << true;
    QTest::newRow("prefix of a listed name") << "127.0.0.2" << QByteArray("Bo: ") << true;
}

void TestChatServer::nameClaimMustComeFromTheUsersAddress()
{
    QFETCH(QString, from);
    QFETCH(QByteArray, claim);
    QFETCH(bool, handled);
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, recordLine);
    auto bob = f.connect(QStringLiteral("127.0.0.1"));
    auto speaker = f.connect(from);
    QVERIFY(waitUntil([&] { return !f.table.slot(1).free; }));
    f.table.slot(0).name = "Bob";
    f.table.setRow(0, "Bob");
    speaker->send("Message\t" + claim + "\thi\r\nMessage\tafter\tx\r\n");
    QTest::qWait(100);
    if (handled) {
        QCOMPARE(recorder.seen.size(), 2);
        QCOMPARE(recorder.seen.at(0).at(1), claim);
    } else {
        // The whole rest of the chunk goes with it.
        QCOMPARE(recorder.seen.size(), 0);
    }
}

void TestChatServer::receiveEntriesAreLogged()
{
    ChatFixture f(false);
    auto client = f.connect(QStringLiteral("127.0.0.2"));
    client->send("MOTD\r\nMSG\thi\r\n");
    QVERIFY(waitUntil([&] { return f.readWorkingFile("log.txt").size() > 0; }));
    QTest::qWait(50);
    client->send("PM\tbob\tsecret\tann\r\n");
    QTest::qWait(100);
    const QByteArray log = f.readWorkingFile("log.txt");
    QVERIFY2(log.contains("127.0.0.2 MOTD\r\nMSG\thi\r\r\n"), log);
    QVERIFY(log.contains("127.0.0.2 User sent a Private Message\r\n"));
    QVERIFY(!log.contains("secret"));
}

void TestChatServer::handlerStopsWhenItsSenderLeftDuringAYield()
{
    ChatFixture f(false);
    auto first = f.connect();
    std::unique_ptr<RawClient> newcomer;
    bool stillHere = true;
    recorder.action = [&](ChatServer &server, const Sender &sender, const Fields &) {
        // The sender vanishes and somebody else takes its index while we wait.
        first->abort();
        for (int i = 0; i < 200 && server.isStillHere(sender); ++i)
            QTest::qWait(5);
        newcomer = f.connect();
        stillHere = server.yieldFor(sender);
        if (!stillHere)
            return HandlerOutcome::Stop;
        server.table().setRow(sender.index, "wrong");
        return HandlerOutcome::NextLine;
    };
    f.chat->setHandler(Command::Name, recordLine);
    f.chat->setHandler(Command::Msg, recordLine);
    first->send("Name\tbob\r\nMSG\tafter\r\n");
    QVERIFY(waitUntil([&] { return newcomer != nullptr; }));
    QTest::qWait(50);
    QVERIFY(!stillHere);
    QCOMPARE(recorder.seen.size(), 1);
    QVERIFY(!f.table.slot(0).free); // the newcomer's
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
}

void TestChatServer::busyPortIsReported()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    ServerConfig config;
    config.chatPort = holder.serverPort();
    ConnectionTable table;
    ChatServer chat(table, config);
    QString reason;
    QVERIFY(!chat.listen(&reason));
    QVERIFY(!reason.isEmpty());
}

void TestChatServer::unfinishedLineDiesWithItsConnection()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Message, recordLine);
    f.chat->setHandler(Command::Motd, recordLine);
    auto first = f.connect();
    first->send("Mess");
    QTest::qWait(50);
    first->close();
    QVERIFY(waitUntil([&] { return f.table.slot(0).free; }));
    auto second = f.connect();
    second->send("age\tx\r\nMOTD\r\n");
    QVERIFY(waitUntil([&] { return recorder.seen.size() >= 1; }));
    QTest::qWait(50);
    QCOMPARE(recorder.seen, (QList<Fields>{{"MOTD"}}));
}

void TestChatServer::failedAcceptGivesTheSlotBack()
{
    ChatFixture f(false);
    QSignalSpy notices(f.chat.get(), &ChatServer::operatorNotice);
    auto *listener = f.chat->findChild<Listener *>();
    QVERIFY(listener);
    Q_EMIT listener->connectionRequest(-7); // not a socket: the accept fails
    QCOMPARE(notices.size(), 1);
    QVERIFY(notices.at(0).at(0).toString().endsWith("Listening for connection "));
    QVERIFY(f.table.slot(0).free);
    auto client = f.connect();
    QVERIFY(waitUntil([&] { return !f.table.slot(0).free; }));
    QVERIFY(f.chat->isConnected(0));
}

void TestChatServer::simulatedConnectionsShareTheTable()
{
    ChatFixture f(false);
    f.chat->setHandler(Command::Msg, recordLine);
    auto real = f.connect();
    QVERIFY(waitUntil([&] { return !f.table.slot(0).free; }));
    const int simulated = f.chat->acceptSimulated("10.1.2.3");
    QCOMPARE(simulated, 1);
    QCOMPARE(f.chat->remoteAddress(simulated), QByteArray("10.1.2.3"));
    f.chat->socket(simulated).simulateReceive("MSG\thi\r\nMS");
    QCOMPARE(recorder.seen, (QList<Fields>{{"MSG", "hi"}}));
    f.chat->broadcastMessage("x");
    QCOMPARE(f.chat->socket(simulated).takeSimulatedOutput(), QByteArray("Message\tx\t\r\n"));
    QCOMPARE(real->readLines(1), QList<QByteArray>{"Message\tx\t\r\n"});
    f.chat->socket(simulated).simulatePeerClose();
    QCOMPARE(real->readLines(4), closeLines(""));
    QVERIFY(f.table.slot(simulated).free);
    QCOMPARE(f.chat->socket(simulated).takeSimulatedOutput(), QByteArray());
}

void TestChatServer::motdIsReadFromTheProgramFolder()
{
    ChatFixture f(false);
    QVERIFY(f.chat->loadMotd());
    QCOMPARE(f.chat->motd(), QByteArray());
    f.writeProgramFile("motd.txt", "Hello\r\nworld\r\n\xA5");
    QSignalSpy changed(f.chat.get(), &ChatServer::motdChanged);
    QVERIFY(f.chat->loadMotd());
    QCOMPARE(f.chat->motd(), QByteArray("Hello\r\nworld\r\n\xA5"));
    QCOMPARE(changed.size(), 1);
    QFile::setPermissions(f.programFile("motd.txt"), QFileDevice::Permissions());
    QString reason;
    if (!QFile(f.programFile("motd.txt")).open(QIODevice::ReadOnly)) {
        QVERIFY(!f.chat->loadMotd(&reason));
        QVERIFY(!reason.isEmpty());
        QCOMPARE(f.chat->motd(), QByteArray());
    }
}

QTEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
