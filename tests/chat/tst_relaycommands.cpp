#include "chattestlines.h"

#include "core/chatserver.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestRelayCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void relay_data();
    void relay();
    void lineMissingAFieldRelaysNothing_data();
    void lineMissingAFieldRelaysNothing();
    void gameCount_data();
    void gameCount();

private:
    // Relays change nothing on the server, so all cases share one room.
    std::unique_ptr<ChatFixture> m_fixture;
    std::vector<std::unique_ptr<RawClient>> m_users;
};

namespace {
QByteArray fields(int first, int last)
{
    QByteArray text;
    for (int i = first; i <= last; ++i)
        text += "\tp" + QByteArray::number(i);
    return text;
}
} // namespace

// Ann (slot 0) sends; Bob (slot 1), the moderator "¥Cat" (slot 2), Dan
// (slot 3, in a game) and U1 to U6 (slots 4 to 9) may receive.
void TestRelayCommands::initTestCase()
{
    m_fixture = std::make_unique<ChatFixture>();
    m_users = joinAll(*m_fixture, {"Ann", "Bob", "Cat", "Dan", "U1", "U2", "U3", "U4", "U5", "U6"});
    m_fixture->table.setRow(2, "\xA5"
                               "Cat");
    m_fixture->table.setRow(3, "Dan [IG]");
}

void TestRelayCommands::cleanup()
{
    for (auto &user : m_users)
        user->drain(0);
}

void TestRelayCommands::relay_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QList<int>>("receivers");
    QTest::addColumn<QByteArray>("relayed");

    QTest::newRow("GETPROFILE2") << QByteArray("GETPROFILE2\tbob\tAnn") << QList<int>{1}
                                 << QByteArray("GETPROFILE2\tAnn\t\r\n");
    QTest::newRow("PROFILE2") << "PROFILE2\tBOB" + fields(2, 14) << QList<int>{1}
                              << "PROFILE" + fields(2, 14) + "\r\n";
    QTest::newRow("PROFILE2 empty fields")
        << QByteArray("PROFILE2\tBob\t\t\t\t\t\t\t\t\t\t\t\t\t\tignored") << QList<int>{1}
        << QByteArray("PROFILE\t\t\t\t\t\t\t\t\t\t\t\t\t\r\n");
    QTest::newRow("PINGUSER") << QByteArray("PINGUSER\tBob\tAnn") << QList<int>{1}
                              << QByteArray("PING\tAnn\t\r\n");
    QTest::newRow("RETURNPING") << QByteArray("RETURNPING\t123\t456\tbob") << QList<int>{1}
                                << QByteArray("THEPING\t123\t456\r\n");
    QTest::newRow("START") << QByteArray("START\tBob\tx") << QList<int>{1}
                           << QByteArray("START\r\n");
    QTest::newRow("DECLINE") << QByteArray("DECLINE\tBob\tAnn") << QList<int>{1}
                             << QByteArray("DECLINE\tAnn\r\n");
    QTest::newRow("XCEPT") << QByteArray("XCEPT\tBob\tAnn") << QList<int>{1}
                           << QByteArray("XCEPT\tAnn\t\r\n");
    QTest::newRow("USERIP") << QByteArray("USERIP\tBob\tAnn 1.2.3.4") << QList<int>{1}
                            << QByteArray("GETUSERIP\tAnn 1.2.3.4\r\n");
    QTest::newRow("OKRETURNIP") << QByteArray("OKRETURNIP\tBob\td") << QList<int>{1}
                                << QByteArray("OKUSERIP\td\r\n");
    QTest::newRow("GETIPFT") << QByteArray("GETIPFT\tBob\td") << QList<int>{1}
                             << QByteArray("GETIPFT\td\r\n");
    QTest::newRow("OKUSERFT") << QByteArray("OKUSERFT\tBob\td") << QList<int>{1}
                              << QByteArray("RETURNFT\td\r\n");
    QTest::newRow("GAME two") << QByteArray("GAME\t2\tdan [ig]\tbob\tg1\tg2\tg3\tg4\tg5\tg6\tx")
                              << QList<int>{3, 1} << QByteArray("GAME\tg1\tg2\tg3\tg4\tg5\tg6\r\n");
    QTest::newRow("moderator needs the mark")
        << QByteArray("START\tCat") << QList<int>{} << QByteArray();
    QTest::newRow("moderator with the mark") << QByteArray("START\t\xA5"
                                                           "cat")
                                             << QList<int>{2} << QByteArray("START\r\n");
    QTest::newRow("in game needs the suffix")
        << QByteArray("PINGUSER\tDan\tAnn") << QList<int>{} << QByteArray();
    QTest::newRow("nobody") << QByteArray("DECLINE\tNobody\tAnn") << QList<int>{} << QByteArray();
}

void TestRelayCommands::relay()
{
    QFETCH(QByteArray, line);
    QFETCH(QList<int>, receivers);
    QFETCH(QByteArray, relayed);

    m_users[0]->send(line + "\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*m_users[0], 1), Lines{"MOTD\t\r\n"});
    for (int i = 1; i < int(m_users.size()); ++i) {
        const Lines expected = receivers.contains(i) ? Lines{relayed} : Lines{};
        QCOMPARE(receivedLines(*m_users[i], expected.size(), 5), expected);
    }
}

void TestRelayCommands::lineMissingAFieldRelaysNothing_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("GETPROFILE2") << QByteArray("GETPROFILE2\tBob");
    QTest::newRow("PROFILE2") << "PROFILE2\tBob" + fields(2, 13);
    QTest::newRow("PINGUSER") << QByteArray("PINGUSER\tBob");
    QTest::newRow("RETURNPING") << QByteArray("RETURNPING\t1\t2");
    QTest::newRow("START") << QByteArray("START");
    QTest::newRow("DECLINE") << QByteArray("DECLINE\tBob");
    QTest::newRow("XCEPT") << QByteArray("XCEPT\tBob");
    QTest::newRow("USERIP") << QByteArray("USERIP\tBob");
    QTest::newRow("OKRETURNIP") << QByteArray("OKRETURNIP\tBob");
    QTest::newRow("GETIPFT") << QByteArray("GETIPFT\tBob");
    QTest::newRow("OKUSERFT") << QByteArray("OKUSERFT\tBob");
    QTest::newRow("GAME") << QByteArray("GAME\t1\tBob\tg1\tg2\tg3\tg4\tg5");
    QTest::newRow("GAME no count") << QByteArray("GAME");
}

void TestRelayCommands::lineMissingAFieldRelaysNothing()
{
    QFETCH(QByteArray, line);

    m_users[0]->send(line + "\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*m_users[0], 1), Lines{"MOTD\t\r\n"});
    for (int i = 1; i < int(m_users.size()); ++i)
        QCOMPARE(receivedLines(*m_users[i], 0, 5), Lines{});
}

void TestRelayCommands::gameCount_data()
{
    QTest::addColumn<QByteArray>("count");
    QTest::addColumn<int>("invited");

    for (int n = 0; n <= 6; ++n)
        QTest::addRow("%d", n) << QByteArray::number(n) << (n >= 1 && n <= 5 ? n : 0);
    QTest::newRow("leading zero") << QByteArray("02") << 2;
    QTest::newRow("word") << QByteArray("two") << 0;
    QTest::newRow("negative") << QByteArray("-1") << 0;
    QTest::newRow("sign") << QByteArray("+2") << 0;
    QTest::newRow("space") << QByteArray(" 2") << 0;
    QTest::newRow("fraction") << QByteArray("2.5") << 0;
    QTest::newRow("huge") << QByteArray("4294967298") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
}

// Ann sends GAME with the count and the names of U1 to U6 followed by six
// data fields, so the count decides which names are invitees and where the
// data starts.
void TestRelayCommands::gameCount()
{
    QFETCH(QByteArray, count);
    QFETCH(int, invited);

    m_users[0]->send("GAME\t" + count +
                     "\tu1\tu2\tu3\tu4\tu5\tu6\td1\td2\td3\td4\td5\td6\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*m_users[0], 1), Lines{"MOTD\t\r\n"});
    QByteArray game = "GAME";
    for (int i = invited + 1; i <= invited + 6; ++i)
        game += i <= 6 ? "\tu" + QByteArray::number(i) : "\td" + QByteArray::number(i - 6);
    game += "\r\n";
    for (int i = 1; i <= 6; ++i) {
        const Lines expected = i <= invited ? Lines{game} : Lines{};
        QCOMPARE(receivedLines(*m_users[i + 3], expected.size(), 5), expected);
    }
}

QTEST_MAIN(TestRelayCommands)
#include "tst_relaycommands.moc"
