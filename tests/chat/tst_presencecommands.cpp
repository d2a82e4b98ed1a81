#include "chattestlines.h"

#include "core/chatserver.h"
#include "platform/clientsocket.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestPresenceCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stateChange_data();
    void stateChange();
    void inGameUserMissesPublicLinesAndSoundsOnly();
    void awayTwiceDropsTheRestOfTheChunk();
    void soundEndsTheChunk_data();
    void soundEndsTheChunk();
    void everyLineShapeIsHandled();
};

// Ann (slot 0) and Bob (slot 1) have joined; slot 2 is a client that has not.
struct Room
{
    ChatFixture fixture;
    std::vector<std::unique_ptr<RawClient>> users;
    std::unique_ptr<RawClient> unjoined;

    Room()
    {
        users = joinAll(fixture, {"Ann", "Bob"});
        unjoined = fixture.connect();
    }
    QList<RawClient *> everyone() { return {users[0].get(), users[1].get(), unjoined.get()}; }
};

void TestPresenceCommands::stateChange_data()
{
    QTest::addColumn<int>("sender");
    QTest::addColumn<QByteArray>("bobRow");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("bobRowAfter");
    QTest::addColumn<Lines>("told");

    const auto pair = [](const QByteArray &from, const QByteArray &to) {
        return Lines{"REMOVEUSER\t" + from + "\r\n", "ADDUSER\t" + to + "\r\n"};
    };
    QTest::newRow("in game") << 1 << QByteArray("Bob") << QByteArray("INGAME\tbob")
                             << QByteArray("Bob [IG]") << pair("bob", "bob [IG]");
    QTest::newRow("in game again")
        << 1 << QByteArray("Bob [IG]") << QByteArray("INGAME\tBob [IG]")
        << QByteArray("Bob [IG] [IG]") << pair("Bob [IG]", "Bob [IG] [IG]");
    QTest::newRow("in game, suffix not given")
        << 1 << QByteArray("Bob [AW]") << QByteArray("INGAME\tBob") << QByteArray("Bob [AW]")
        << pair("Bob", "Bob [IG]");
    QTest::newRow("in game for another user") << 0 << QByteArray("Bob") << QByteArray("INGAME\tBob")
                                              << QByteArray("Bob [IG]") << pair("Bob", "Bob [IG]");
    QTest::newRow("cs") << 1 << QByteArray("Bob") << QByteArray("[CS]\tBob")
                        << QByteArray("Bob [CS]") << pair("Bob", "Bob [CS]");
    QTest::newRow("away") << 1 << QByteArray("Bob") << QByteArray("[AW]\tBob")
                          << QByteArray("Bob [AW]") << pair("Bob", "Bob [AW]");
    QTest::newRow("away piles up")
        << 1 << QByteArray("Bob [IG]") << QByteArray("[AW]\tBob [IG]")
        << QByteArray("Bob [IG] [AW]") << pair("Bob [IG]", "Bob [IG] [AW]");
    QTest::newRow("away other case is not a repeat")
        << 1 << QByteArray("Bob [AW]") << QByteArray("[AW]\tbob") << QByteArray("Bob [AW]")
        << pair("bob", "bob [AW]");
    QTest::newRow("moderator away") << 1
                                    << QByteArray("\xA5"
                                                  "Bob")
                                    << QByteArray("[AW]\t\xA5"
                                                  "Bob")
                                    << QByteArray("\xA5"
                                                  "Bob [AW]")
                                    << pair("\xA5"
                                            "Bob",
                                            "\xA5"
                                            "Bob [AW]");
    QTest::newRow("return") << 1 << QByteArray("Bob [IG]") << QByteArray("RETURN\tbob")
                            << QByteArray("bob") << pair("bob [IG]", "bob");
    QTest::newRow("return cs") << 1 << QByteArray("Bob [AW]") << QByteArray("RETURNCS\tBOB")
                               << QByteArray("BOB") << pair("BOB [AW]", "BOB");
    QTest::newRow("return, state not last")
        << 1 << QByteArray("Bob [IG] [AW]") << QByteArray("RETURN\tBob")
        << QByteArray("Bob [IG] [AW]") << pair("Bob [IG]", "Bob");
    QTest::newRow("return cs after piling")
        << 1 << QByteArray("Bob [IG] [AW]") << QByteArray("RETURNCS\tBob [IG]")
        << QByteArray("Bob [IG]") << pair("Bob [IG] [AW]", "Bob [IG]");
    QTest::newRow("return without the mark") << 1
                                             << QByteArray("\xA5"
                                                           "Bob [IG]")
                                             << QByteArray("RETURN\tBob")
                                             << QByteArray("\xA5"
                                                           "Bob [IG]")
                                             << pair("Bob [IG]", "Bob");
    QTest::newRow("return with the mark") << 1
                                          << QByteArray("\xA5"
                                                        "Bob [IG]")
                                          << QByteArray("RETURN\t\xA5"
                                                        "Bob")
                                          << QByteArray("\xA5"
                                                        "Bob")
                                          << pair("\xA5"
                                                  "Bob [IG]",
                                                  "\xA5"
                                                  "Bob");
    QTest::newRow("free rows are nobody") << 1 << QByteArray("Bob") << QByteArray("INGAME\tempty")
                                          << QByteArray("Bob") << pair("empty", "empty [IG]");
    // From a client that has not joined: the rows change, only "[CS]" is told.
    QTest::newRow("unjoined in game")
        << 2 << QByteArray("Bob") << QByteArray("INGAME\tBob") << QByteArray("Bob [IG]") << Lines{};
    QTest::newRow("unjoined away")
        << 2 << QByteArray("Bob") << QByteArray("[AW]\tBob") << QByteArray("Bob [AW]") << Lines{};
    QTest::newRow("unjoined return")
        << 2 << QByteArray("Bob [IG]") << QByteArray("RETURN\tBob") << QByteArray("Bob") << Lines{};
    QTest::newRow("unjoined return cs")
        << 2 << QByteArray("Bob [AW]") << QByteArray("RETURNCS\tBob") << QByteArray("Bob")
        << Lines{};
    QTest::newRow("unjoined cs") << 2 << QByteArray("Bob") << QByteArray("[CS]\tBob")
                                 << QByteArray("Bob [CS]") << pair("Bob", "Bob [CS]");
    for (const char *keyword : {"INGAME", "[CS]", "[AW]", "RETURN", "RETURNCS"})
        QTest::addRow("%s without name", keyword)
            << 1 << QByteArray("Bob [IG]") << QByteArray(keyword) << QByteArray("Bob [IG]")
            << Lines{};
}

void TestPresenceCommands::stateChange()
{
    QFETCH(int, sender);
    QFETCH(QByteArray, bobRow);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, bobRowAfter);
    QFETCH(Lines, told);

    Room room;
    room.fixture.table.setRow(1, bobRow);
    room.everyone()[sender]->send(line + "\r\nMOTD\r\n");
    for (int i = 0; i < 3; ++i) {
        RawClient *client = room.everyone()[i];
        const Lines expected = i == sender ? told + Lines{"MOTD\t\r\n"} : told;
        QCOMPARE(receivedLines(*client, expected), expected);
    }
    QCOMPARE(room.fixture.table.row(1), bobRowAfter);
    QCOMPARE(room.fixture.table.row(2), QByteArray("EMPTY"));
    QCOMPARE(room.fixture.table.slot(1).name, QByteArray("Bob"));
}

void TestPresenceCommands::inGameUserMissesPublicLinesAndSoundsOnly()
{
    Room room;
    room.users[1]->sendLine("INGAME\tBob");
    for (RawClient *client : room.everyone())
        QCOMPARE(receivedLines(*client, 2),
                 (Lines{"REMOVEUSER\tBob\r\n", "ADDUSER\tBob [IG]\r\n"}));

    room.users[0]->send("Message\tAnn: \thi\r\nPM\tbob [ig]\tpsst\tAnn\r\nURL\tBob [IG]\tu\tAnn\r\n"
                        "GAME\t1\tBob [IG]\tg1\tg2\tg3\tg4\tg5\tg6\r\nSOUND\tding\r\n");
    QCOMPARE(receivedLines(*room.users[1], 3),
             (Lines{"PM\tAnn\tpsst\r\n", "URL\tAnn\tu\r\n", "GAME\tg1\tg2\tg3\tg4\tg5\tg6\r\n"}));
    QCOMPARE(receivedLines(*room.users[0], 2),
             (Lines{"Message\tAnn: \thi\t\r\n", "PLAYSOUND\tding\r\n"}));
    QCOMPARE(receivedLines(*room.unjoined, 2),
             (Lines{"Message\tAnn: \thi\t\r\n", "PLAYSOUND\tding\r\n"}));
}

void TestPresenceCommands::awayTwiceDropsTheRestOfTheChunk()
{
    Room room;
    room.users[1]->send("[AW]\tBob\r\n[AW]\tBob\r\nMOTD\r\n");
    for (RawClient *client : room.everyone())
        QCOMPARE(receivedLines(*client, 2),
                 (Lines{"REMOVEUSER\tBob\r\n", "ADDUSER\tBob [AW]\r\n"}));
    QCOMPARE(room.fixture.table.row(1), QByteArray("Bob [AW]"));

    // A later chunk is processed again.
    room.users[1]->sendLine("MOTD");
    QCOMPARE(receivedLines(*room.users[1], 1), Lines{"MOTD\t\r\n"});
}

void TestPresenceCommands::soundEndsTheChunk_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Lines>("played");

    QTest::newRow("sound") << QByteArray("SOUND\tding") << Lines{"PLAYSOUND\tding\r\n"};
    QTest::newRow("empty sound") << QByteArray("SOUND\t") << Lines{"PLAYSOUND\t\r\n"};
    QTest::newRow("no sound field") << QByteArray("SOUND") << Lines{};
}

void TestPresenceCommands::soundEndsTheChunk()
{
    QFETCH(QByteArray, line);
    QFETCH(Lines, played);

    Room room;
    room.fixture.table.setRow(1, "Bob [IG]");
    room.users[0]->send(line + "\r\nMOTD\r\nMessage\tAnn: \tx\r\n");
    QCOMPARE(receivedLines(*room.users[0], played), played);
    QCOMPARE(receivedLines(*room.unjoined, played), played);
    QCOMPARE(receivedLines(*room.users[1], 0), Lines{});
}

// Every keyword with 0 to 17 fields, over simulated connections: no handler
// may read past the end of its line (the sanitizer build checks the reads).
void TestPresenceCommands::everyLineShapeIsHandled()
{
    ChatFixture fixture;
    ChatServer &chat = *fixture.chat;
    const int listener = chat.acceptSimulated("10.0.0.1");
    chat.socket(listener).simulateReceive("Name\tx\r\n");
    QCOMPARE(fixture.table.row(listener), QByteArray("x"));
    chat.socket(listener).takeSimulatedOutput();

    int sender = -1;
    for (const QByteArrayView keyword : CommandKeywords) {
        for (int count = 0; count <= 17; ++count) {
            if (sender < 0 || !chat.isConnected(sender))
                sender = chat.acceptSimulated("10.0.0.2");
            QVERIFY(sender >= 0);
            QByteArray line = keyword.toByteArray();
            for (int i = 1; i <= count; ++i)
                line += i == 1 && keyword == "GAME" ? QByteArray("\t1") : QByteArray("\tx");
            chat.socket(sender).simulateReceive(line + "\r\n");
            chat.socket(sender).takeSimulatedOutput();
        }
    }
    QVERIFY(chat.isConnected(listener));
}

QTEST_MAIN(TestPresenceCommands)
#include "tst_presencecommands.moc"
