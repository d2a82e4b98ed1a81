#include "chatfixture.h"
#include "core/connectionpool.h"
#include "core/messageline.h"
#include "platform/clientsocket.h"
#include "platform/listener.h"
#include "simulatedtransport.h"

#include <QSignalSpy>
#include <QTest>

#include <numeric>

namespace {

QList<Fields> seen;

// Records each line it is given; "SOUND" ends the chunk.
HandlerOutcome record(const Sender &, const Fields &fields)
{
    seen.append(fields);
    return fields[0] == "SOUND" ? HandlerOutcome::Stop : HandlerOutcome::NextLine;
}

} // namespace

class TestChatServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void connectionEndsEmptyTheirOwnRows_data();
    void connectionEndsEmptyTheirOwnRows();
    void linesAreHandedOnWholeAndInOrder();
    void floodIsReadInBoundedChunks();
    void everyListenerGetsTheRoomsLinesInOneOrder();
    void aFloodOfOneConnectionTakesTurnsWithTheOthers();
    void theRoomWaitsForAReaderThatIsBehind();
    void failedAcceptIsToldAndFreesTheEntry();
};

void TestChatServer::init()
{
    seen.clear();
}

void TestChatServer::connectionEndsEmptyTheirOwnRows_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("leaving"); // a peer close, a reset, our close or a shutdown
    QTest::newRow("joined") << QByteArray("bob") << QByteArray("peer close");
    QTest::newRow("never joined") << QByteArray() << QByteArray("peer close");
    QTest::newRow("reset") << QByteArray("bob") << QByteArray("reset");
    // Our own close is no peer close: no second round of lines.
    QTest::newRow("our own close") << QByteArray("bob") << QByteArray("our close");
    // A shutdown ends every connection and tells nobody.
    QTest::newRow("shutdown") << QByteArray("bob") << QByteArray("shutdown");
}

void TestChatServer::connectionEndsEmptyTheirOwnRows()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, leaving);
    ChatFixture f(false);
    f.chat->setLineHandler(record);
    auto client = f.connect();
    const auto bobby = f.connectSimulated("10.0.0.2");
    f.table.slot(0).name = name;
    if (!name.isEmpty())
        f.table.setRow(0, name + " [AW]");
    // A row that begins with the leaving name belongs to somebody else.
    f.table.setRow(bobby->index(), name + "by");

    const QList<QByteArray> told = leaving == "our close"
                                       ? QList<QByteArray>{"REMOVEUSER\t" + name + "\r\n"}
                                   : leaving == "shutdown" ? QList<QByteArray>()
                                                           : leavingLines(name);
    if (leaving == "reset") {
        client->end(RawClient::Ending::Reset);
    } else if (leaving == "shutdown") {
        f.table.setRow(40, "ghost"); // listed, but no connection
        f.chat->shutdown();
        QVERIFY(client->waitForDisconnect());
        QCOMPARE(client->drain(), QByteArray());
    } else if (leaving == "our close") {
        f.chat->disconnectUser(0);
        QCOMPARE(client->readLines(1), told);
        QVERIFY(client->waitForDisconnect());
    } else {
        // A line right before the close is still handled.
        client->send("MSG\tlast\r\n");
        client->close();
    }
    QTRY_VERIFY(f.table.slot(0).free);
    QTest::qWait(50);
    QCOMPARE(bobby->takeSent(), told.join());
    QCOMPARE(f.table.row(0), ConnectionTable::EmptyRow);
    QCOMPARE(seen.size(), leaving == "peer close" ? 1 : 0);
    if (leaving != "shutdown") {
        QCOMPARE(f.table.row(bobby->index()), name + "by");
        return;
    }
    QVERIFY(!bobby->isConnected());
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        QVERIFY(f.table.slot(i).free);
        QCOMPARE(f.table.row(i), ConnectionTable::EmptyRow);
    }
}

// Lines are handed on in order, a line cut across chunks as one, its private
// text or password still recognised in the receive entry of each chunk. A
// Stop drops the rest of its chunk only; bytes pending at a close die with
// the connection.
void TestChatServer::linesAreHandedOnWholeAndInOrder()
{
    ChatFixture f(false);
    f.chat->setLineHandler(record);
    const auto client = f.connectSimulated("10.0.0.2");
    client->receive(
        "message\tx\r\nMSG\t1\r\n\r\nMessage\ta: \tb\r\nUNKNOWN\r\nMSG\r\nSOUND\r\nMSG\tx\r\n");
    client->receive("MOTD\r\nPM\tbob\tsec");
    client->receive("ret\r\nRequestOP\tbob\tb@x\thun");
    client->receive("ter2\r\n");
    client->receive("Mess");
    client->peerClose();
    const auto next = f.connectSimulated("10.0.0.3");
    QCOMPARE(next->index(), client->index());
    next->receive("age\tx\r\nMOTD\r\n");
    QCOMPARE(seen, (QList<Fields>{{"message", "x"},
                                  {"MSG", "1"},
                                  {""},
                                  {"Message", "a: ", "b"},
                                  {"UNKNOWN"},
                                  {"MSG"},
                                  {"SOUND"},
                                  {"MOTD"},
                                  {"PM", "bob", "secret"},
                                  {"RequestOP", "bob", "b@x", "hunter2"},
                                  {"age", "x"},
                                  {"MOTD"}}));
    const QByteArray log = f.readWorkingFile("log.txt");
    QVERIFY2(log.contains("10.0.0.2 MOTD\r\nUser sent a Private Message\r\n"), log);
    QVERIFY(log.contains("10.0.0.2 User sent a Private Message\r\nRequestOP\tbob\tb@x\t***\r\n"));
    QVERIFY(log.contains("10.0.0.2 ***\r\r\n"));
}

// The read buffer is capped, so a flooding client is held back by TCP; the
// log shows the start of each chunk and counts the rest.
void TestChatServer::floodIsReadInBoundedChunks()
{
    ChatFixture f(false);
    auto client = f.connect();
    const QByteArray flood(3 * ClientSocket::InputBufferSize, 'x');
    client->send(flood);
    auto chunkSizes = [&f] {
        QList<qsizetype> sizes;
        for (const QByteArray &entry : f.readWorkingFile("log.txt").split('\n')) {
            const qsizetype mark = entry.indexOf("\x85 ");
            if (!entry.isEmpty()) // the chunk's last byte is never shown
                sizes.append(entry.count('x') + 1 +
                             (mark < 0 ? 0 : entry.mid(mark + 2).split(' ').first().toLongLong()));
        }
        return sizes;
    };
    auto loggedBytes = [&chunkSizes] {
        const QList<qsizetype> sizes = chunkSizes();
        return std::accumulate(sizes.cbegin(), sizes.cend(), qsizetype(0));
    };
    QTRY_COMPARE(loggedBytes(), flood.size());
    const QList<qsizetype> sizes = chunkSizes();
    QVERIFY(sizes.size() >= 3);
    for (const qsizetype size : sizes)
        QVERIFY(size <= ClientSocket::InputBufferSize);
}

// Two people talk at once: every listener, the two talkers included, gets the
// room's lines in one order, and each talker's lines in the order sent.
void TestChatServer::everyListenerGetsTheRoomsLinesInOneOrder()
{
    ChatFixture f;
    std::vector<std::unique_ptr<RawClient>> room;
    for (int i = 0; i < 6; ++i)
        room.push_back(
            f.join("u" + QByteArray::number(i), QStringLiteral("127.0.0.%1").arg(i + 1)));
    for (const auto &client : room)
        client->drain();
    constexpr int PerTalker = 300;
    QByteArray talk[2];
    for (int i = 0; i < PerTalker; ++i) {
        for (int t = 0; t < 2; ++t)
            talk[t] +=
                "Message\tu" + QByteArray::number(t) + ": \t" + QByteArray::number(i) + "\r\n";
    }
    room[0]->send(talk[0]);
    room[1]->send(talk[1]);
    QList<QByteArray> first = room[0]->readLines(2 * PerTalker, 20'000);
    QCOMPARE(first.size(), 2 * PerTalker);
    for (std::size_t i = 1; i < room.size(); ++i)
        QCOMPARE(room[i]->readLines(2 * PerTalker, 20'000), first);
    for (int t = 0; t < 2; ++t) {
        const QByteArray prefix = "Message\tu" + QByteArray::number(t) + ": \t";
        int next = 0;
        for (const QByteArray &line : std::as_const(first)) {
            if (line.startsWith(prefix))
                QCOMPARE(line, prefix + QByteArray::number(next++) + "\t\r\n");
        }
        QCOMPARE(next, PerTalker);
    }
}

// A connection that sends thousands of lines at once gets a turn's worth at a
// time: a line from somebody else that arrives meanwhile is handled after the
// flooder's next turn, not after the whole flood. The flood stays in order.
void TestChatServer::aFloodOfOneConnectionTakesTurnsWithTheOthers()
{
    ChatFixture f(false);
    const std::unique_ptr<RawClient> flooder = f.connect();
    const std::unique_ptr<RawClient> other = f.connect(QStringLiteral("127.0.0.2"));
    QByteArrayList handled;
    f.chat->setLineHandler([&](const Sender &sender, const Fields &fields) {
        handled.append(fields.value(0));
        // The other's line is on its way before the flooder's first turn ends.
        if (sender.index == 0 && handled.size() == 1) {
            other->send("other\r\n");
            other->flush();
        }
        return HandlerOutcome::NextLine;
    });
    constexpr int Flood = 20 * ConnectionPool::LinesPerTurn;
    QByteArray flood;
    for (int i = 0; i < Flood; ++i)
        flood += QByteArray::number(i) + "\r\n";
    flooder->send(flood);
    QTRY_COMPARE_WITH_TIMEOUT(handled.size(), Flood + 1, 20'000);
    const qsizetype at = handled.indexOf("other");
    QVERIFY2(at >= ConnectionPool::LinesPerTurn && at <= 3 * ConnectionPool::LinesPerTurn,
             qPrintable(QStringLiteral("handled after %1 flood lines").arg(at)));
    handled.removeAt(at);
    for (int i = 0; i < Flood; ++i)
        QCOMPARE(handled[i], QByteArray::number(i));
}

// A reader with much output still to take holds everyone's lines back (TCP
// then slows the senders) until it has caught up, or for RoomPatience: a
// fast talker cannot push readers that keep reading over the output cap. One
// that never reads is dropped at the cap (the simulated peer's untaken output
// counts like a socket's unsent output) and the room is told.
void TestChatServer::theRoomWaitsForAReaderThatIsBehind()
{
    ChatFixture f;
    QList<QSharedPointer<SimulatedTransport>> room;
    for (const char *name : {"Ann", "Bob", "Slow"}) {
        room.append(f.connectSimulated("127.0.0." + QByteArray::number(room.size() + 1)));
        room.last()->receive("Name\t" + QByteArray(name) + "\r\n");
    }
    for (const auto &client : std::as_const(room))
        client->takeSent();
    SimulatedTransport &ann = *room[0], &bob = *room[1], &slow = *room[2];
    const QByteArray backlog(ConnectionPool::RoomHighWater + 1, 'x');

    QVERIFY(slow.send(backlog));
    ann.receive("Message\tAnn: \thi\r\n");
    QCOMPARE(bob.takeSent(), QByteArray());
    slow.takeSent();
    QByteArray heard;
    QTRY_VERIFY(!(heard += bob.takeSent()).isEmpty());
    QCOMPARE(heard, QByteArray("Message\tAnn: \thi\t\r\n"));

    // One that stays behind is waited for no longer than the patience.
    QVERIFY(slow.send(backlog));
    ann.receive("Message\tAnn: \tagain\r\n");
    heard.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!(heard += bob.takeSent()).isEmpty(),
                             10 * ConnectionPool::RoomPatience.count());
    QCOMPARE(heard, QByteArray("Message\tAnn: \tagain\t\r\n"));
    QVERIFY(slow.isConnected());

    const QByteArray text(64 * 1024, 'x');
    while (slow.isConnected()) {
        bob.takeSent();
        f.chat->broadcastMessage(text);
    }
    QTRY_VERIFY(f.table.slot(slow.index()).free);
    QVERIFY(bob.takeSent().endsWith(leavingLines("Slow").join()));
    QCOMPARE(slow.takeSent(), QByteArray());
}

void TestChatServer::failedAcceptIsToldAndFreesTheEntry()
{
    ChatFixture f(false);
    QSignalSpy notices(f.chat.get(), &ChatServer::operatorNotice);
    Q_EMIT f.chat->findChild<Listener *>()->connectionRequest(-7); // not a socket
    QCOMPARE(notices.size(), 1);
    QVERIFY(notices.at(0).at(0).toString().endsWith(QStringLiteral("Listening for connection ")));
    QVERIFY(f.table.slot(0).free);
}

QTEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
