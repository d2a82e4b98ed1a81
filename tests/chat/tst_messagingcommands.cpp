#include "chattestlines.h"

#include "core/chatserver.h"

#include <QSignalSpy>
#include <QTest>

using Lines = QList<QByteArray>;

class TestMessagingCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void publicLineSkipsPlayersInGame();
    void publicLineNeedsBothFields();
    void serverMessageNeedsModerator_data();
    void serverMessageNeedsModerator();
    void actionEndsWithAnExtraLine();
    void privateLines_data();
    void privateLines();
    void privateLineReachesEveryMatchingRow();
};

// Ann, Bob (in a game), Cat (away) and a client that has not joined.
struct Room
{
    ChatFixture fixture;
    std::vector<std::unique_ptr<RawClient>> users;
    std::unique_ptr<RawClient> unjoined;

    Room()
    {
        users = joinAll(fixture, {"Ann", "Bob", "Cat"});
        fixture.table.setRow(1, "Bob [IG]");
        fixture.table.setRow(2, "Cat [AW]");
        unjoined = fixture.connect();
    }
};

void TestMessagingCommands::publicLineSkipsPlayersInGame()
{
    Room room;
    QSignalSpy output(room.fixture.chat.get(), &ChatServer::outputLine);
    room.users[0]->sendLine("Message\tAnn: \thello there");
    const Lines line{"Message\tAnn: \thello there\t\r\n"};
    QCOMPARE(receivedLines(*room.users[0], 1), line);
    QCOMPARE(receivedLines(*room.users[1], 0), Lines{});
    QCOMPARE(receivedLines(*room.users[2], 1), line);
    QCOMPARE(receivedLines(*room.unjoined, 1), line);
    QCOMPARE(output.size(), 1);
    QCOMPARE(output.at(0).at(0).toByteArray(), QByteArray("Ann: \thello there"));
}

void TestMessagingCommands::publicLineNeedsBothFields()
{
    Room room;
    QSignalSpy output(room.fixture.chat.get(), &ChatServer::outputLine);
    room.users[0]->send("Message\tAnn: \r\nMessage\r\nMessage\tAnn: \t\r\n");
    QCOMPARE(receivedLines(*room.users[2], 1), Lines{"Message\tAnn: \t\t\r\n"});
    QCOMPARE(output.size(), 1);
}

void TestMessagingCommands::serverMessageNeedsModerator_data()
{
    QTest::addColumn<bool>("moderator");
    QTest::newRow("moderator") << true;
    QTest::newRow("user") << false;
}

void TestMessagingCommands::serverMessageNeedsModerator()
{
    QFETCH(bool, moderator);

    Room room;
    room.fixture.table.slot(0).operatorFlag = moderator;
    room.users[0]->send("MSG\tclosing soon\r\nMOTD\r\n");
    if (moderator) {
        const QByteArray line = "Message\tServer: closing soon\t\r\n";
        QCOMPARE(receivedLines(*room.users[0], 2), (Lines{line, "MOTD\t\r\n"}));
        QCOMPARE(receivedLines(*room.users[2], 1), Lines{line});
    } else {
        QCOMPARE(receivedLines(*room.users[0], 2),
                 (Lines{"STATUSTEXT\t255\tPermission Denied\r\n", "MOTD\t\r\n"}));
        QCOMPARE(receivedLines(*room.users[2], 0), Lines{});
    }
}

void TestMessagingCommands::actionEndsWithAnExtraLine()
{
    Room room;
    QSignalSpy output(room.fixture.chat.get(), &ChatServer::outputLine);
    room.users[2]->send("ACTION\tCat dances\r\nACTION\r\n");
    const Lines lines{"Message\tCat dances \t \r\n", "\t\r\n"};
    QCOMPARE(receivedLines(*room.users[0], 2), lines);
    QCOMPARE(receivedLines(*room.users[1], 0), Lines{});
    QCOMPARE(receivedLines(*room.unjoined, 2), lines);
    QCOMPARE(output.size(), 1);
    QCOMPARE(output.at(0).at(0).toByteArray(), QByteArray("Cat dances \t \r\n"));
}

void TestMessagingCommands::privateLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("recipient"); // slot, -1 for nobody
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("pm other case")
        << QByteArray("PM\teve\thi\tAnn") << 4 << QByteArray("PM\tAnn\thi\r\n");
    QTest::newRow("pm moderator with mark") << QByteArray("PM\t\xA5"
                                                          "bob\thi\tAnn")
                                            << 1 << QByteArray("PM\tAnn\thi\r\n");
    QTest::newRow("pm moderator without mark")
        << QByteArray("PM\tBob\thi\tAnn") << -1 << QByteArray();
    QTest::newRow("pm away with suffix")
        << QByteArray("PM\tCAT [aw]\thi\tAnn") << 2 << QByteArray("PM\tAnn\thi\r\n");
    QTest::newRow("pm away without suffix") << QByteArray("PM\tCat\thi\tAnn") << -1 << QByteArray();
    QTest::newRow("pm in game") << QByteArray("PM\tDan [IG]\t\tAnn") << 3
                                << QByteArray("PM\tAnn\t\r\n");
    QTest::newRow("pm nobody") << QByteArray("PM\tNobody\thi\tAnn") << -1 << QByteArray();
    QTest::newRow("pm without sender") << QByteArray("PM\teve\thi") << -1 << QByteArray();
    QTest::newRow("pm without addressee") << QByteArray("PM") << -1 << QByteArray();
    QTest::newRow("url") << QByteArray("URL\tEve\thttp://example.org/\tAnn\tx") << 4
                         << QByteArray("URL\tAnn\thttp://example.org/\r\n");
    QTest::newRow("url without sender") << QByteArray("URL\tEve\thttp://x") << -1 << QByteArray();
}

void TestMessagingCommands::privateLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, recipient);
    QFETCH(QByteArray, expected);

    ChatFixture fixture;
    QSignalSpy output(fixture.chat.get(), &ChatServer::outputLine);
    auto users = joinAll(fixture, {"Ann", "Bob", "Cat", "Dan", "Eve"});
    fixture.table.setRow(1, "\xA5"
                            "Bob");
    fixture.table.setRow(2, "Cat [AW]");
    fixture.table.setRow(3, "Dan [IG]");
    users[0]->send(line + "\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*users[0], 1), Lines{"MOTD\t\r\n"});
    for (int i = 1; i < int(users.size()); ++i)
        QCOMPARE(receivedLines(*users[i], i == recipient ? 1 : 0, 20),
                 i == recipient ? Lines{expected} : Lines{});
    QCOMPARE(output.size(), 0);
}

void TestMessagingCommands::privateLineReachesEveryMatchingRow()
{
    ChatFixture fixture;
    auto users = joinAll(fixture, {"Ann", "Bob", "Cat"});
    fixture.table.setRow(2, "BOB");
    users[0]->sendLine("PM\tbob\thi\tAnn");
    QCOMPARE(receivedLines(*users[1], 1), Lines{"PM\tAnn\thi\r\n"});
    QCOMPARE(receivedLines(*users[2], 1), Lines{"PM\tAnn\thi\r\n"});
}

QTEST_MAIN(TestMessagingCommands)
#include "tst_messagingcommands.moc"
