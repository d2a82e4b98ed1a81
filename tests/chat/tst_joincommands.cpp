#include "chattestlines.h"

#include "core/chatserver.h"
#include "core/codepage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

using Lines = QList<QByteArray>;

class TestJoinCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void newcomerLearnsEveryoneSlotBySlot();
    void takenName_data();
    void takenName();
    void repeatingOwnNameIsRefused();
    void sameNameAtTheSameMomentIsListedOnce();
    void bannedAddress_data();
    void bannedAddress();
    void nameWithoutFieldListsNobody();
    void motdKeepsItsLineBreaks();
    void profileVersion_data();
    void profileVersion();
    void serverAnnouncesWithoutChangingTheRow();
    void newUserAppendsRecords();
    void newUserRefusesFileName_data();
    void newUserRefusesFileName();
};

void TestJoinCommands::newcomerLearnsEveryoneSlotBySlot()
{
    ChatFixture fixture;
    fixture.chat->setMotd("Welcome");
    auto clients = joinAll(fixture, {"Ann", "Bob", "Cat"});
    clients[1]->close();
    QTRY_VERIFY(fixture.table.slot(1).free);
    fixture.table.setRow(2, "\xA5"
                            "Cat [AW]");
    auto unjoined = fixture.connect(); // takes slot 1
    auto dan = fixture.connect();      // slot 3
    clients[0]->drain(20);
    clients[2]->drain(20);

    dan->sendLine("Name\tDan");
    QCOMPARE(receivedLines(*dan, 5),
             (Lines{"MOTD\tWelcome\r\n", "GETPROFILE\tDan\t\r\n", "ADDUSER\tAnn\r\n",
                    "ADDUSER\t\xA5"
                    "Cat [AW]\r\n",
                    "ADDUSER\tDan\r\n"}));
    for (RawClient *other : {clients[0].get(), unjoined.get(), clients[2].get()})
        QCOMPARE(receivedLines(*other, 1), Lines{"ADDUSER\tDan\r\n"});
    QCOMPARE(fixture.table.row(3), QByteArray("Dan"));
    QCOMPARE(fixture.table.slot(3).name, QByteArray("Dan"));
}

void TestJoinCommands::takenName_data()
{
    QTest::addColumn<QByteArray>("listedRow");
    QTest::addColumn<QByteArray>("newName");
    QTest::addColumn<bool>("refused");

    QTest::newRow("other case") << QByteArray("Bob") << QByteArray("bob") << true;
    QTest::newRow("upper case") << QByteArray("Bob") << QByteArray("BOB") << true;
    QTest::newRow("same case") << QByteArray("Bob") << QByteArray("Bob") << true;
    QTest::newRow("cp1252 letters") << QByteArray("\xC9mile") << QByteArray("\xE9MILE") << true;
    QTest::newRow("EMPTY") << QByteArray("Bob") << QByteArray("EMPTY") << true;
    QTest::newRow("empty") << QByteArray("Bob") << QByteArray("empty") << true;
    QTest::newRow("Empty") << QByteArray("Bob") << QByteArray("Empty") << true;
    QTest::newRow("away row") << QByteArray("Bob [AW]") << QByteArray("Bob") << false;
    QTest::newRow("moderator row") << QByteArray("\xA5"
                                                 "Bob")
                                   << QByteArray("bob") << false;
    QTest::newRow("prefix") << QByteArray("Bob") << QByteArray("Bobby") << false;
}

void TestJoinCommands::takenName()
{
    QFETCH(QByteArray, listedRow);
    QFETCH(QByteArray, newName);
    QFETCH(bool, refused);

    ChatFixture fixture;
    fixture.chat->setMotd("Hi");
    auto bob = joinOne(fixture, "Bob");
    fixture.table.setRow(0, listedRow);
    auto newcomer = fixture.connect(QStringLiteral("127.0.0.2"));
    newcomer->send("Name\t" + newName + "\r\nMOTD\r\n");

    if (refused) {
        QVERIFY(newcomer->waitForDisconnect());
        QCOMPARE(newcomer->readFor(0), QByteArray("DOUBLE\r\n"));
        QCOMPARE(receivedLines(*bob, 0), Lines{});
        QVERIFY(fixture.table.slot(1).free);
        QCOMPARE(fixture.table.slot(1).name, QByteArray());
        QCOMPARE(fixture.table.row(1), QByteArray("EMPTY"));
    } else {
        const QByteArray addNewcomer = "ADDUSER\t" + newName + "\r\n";
        QCOMPARE(receivedLines(*newcomer, 5),
                 (Lines{"MOTD\tHi\r\n", "GETPROFILE\t" + newName + "\t\r\n",
                        "ADDUSER\t" + listedRow + "\r\n", addNewcomer, "MOTD\tHi\r\n"}));
        QCOMPARE(receivedLines(*bob, 1), Lines{addNewcomer});
        QCOMPARE(fixture.table.row(1), newName);
    }
}

void TestJoinCommands::repeatingOwnNameIsRefused()
{
    ChatFixture fixture;
    auto clients = joinAll(fixture, {"Ann", "Bob"});
    clients[1]->sendLine("Name\tBob");
    QVERIFY(clients[1]->waitForDisconnect());
    QCOMPARE(clients[1]->readFor(0), QByteArray("DOUBLE\r\n"));
    QCOMPARE(fixture.table.row(1), QByteArray("EMPTY"));
    QCOMPARE(receivedLines(*clients[0], 0), Lines{});
}

void TestJoinCommands::sameNameAtTheSameMomentIsListedOnce()
{
    // A ban list makes the join yield often, so the second line is processed
    // while the first join is still running.
    ChatFixture fixture;
    QByteArray bans;
    for (int i = 0; i < 200; ++i)
        bans += "\"10.0.0." + QByteArray::number(i) + "\"\r\n";
    fixture.writeProgramFile(QStringLiteral("ban.txt"), bans);

    for (int round = 0; round < 4; ++round) {
        const QByteArray name = "Zed" + QByteArray::number(round);
        auto first = fixture.connect(QStringLiteral("127.0.0.2"));
        auto second = fixture.connect(QStringLiteral("127.0.0.3"));
        first->sendLine("Name\t" + name);
        second->sendLine("Name\t" + Codepage::toLower(name));
        QTest::qWait(400);
        const QByteArray firstText = first->readFor(0);
        const QByteArray secondText = second->readFor(0);
        const int refusals = int(firstText == "DOUBLE\r\n") + int(secondText == "DOUBLE\r\n");
        QCOMPARE(refusals, 1);
        int listed = 0;
        for (int i = 0; i < ConnectionTable::Size; ++i)
            listed += Codepage::equalsIgnoringCase(fixture.table.row(i), name) ? 1 : 0;
        QCOMPARE(listed, 1);
    }
}

void TestJoinCommands::bannedAddress_data()
{
    QTest::addColumn<QByteArray>("banFile");
    QTest::addColumn<bool>("banned");

    QTest::newRow("quoted line") << QByteArray("\"10.1.1.1\"\r\n\"127.0.0.2\"\r\n") << true;
    QTest::newRow("comma list") << QByteArray("10.1.1.1, 127.0.0.2") << true;
    QTest::newRow("twice") << QByteArray("\"127.0.0.2\"\r\n\"127.0.0.2\"\r\n") << true;
    QTest::newRow("longer address") << QByteArray("\"127.0.0.22\"\r\n") << false;
    QTest::newRow("no file") << QByteArray() << false;
}

void TestJoinCommands::bannedAddress()
{
    QFETCH(QByteArray, banFile);
    QFETCH(bool, banned);

    ChatFixture fixture;
    fixture.chat->setMotd("Rules");
    if (!banFile.isEmpty())
        fixture.writeProgramFile(QStringLiteral("ban.txt"), banFile);
    auto ann = joinOne(fixture, "Ann");
    auto eve = fixture.connect(QStringLiteral("127.0.0.2"));
    eve->send("Name\tEve\r\nMOTD\r\n");

    if (banned) {
        QVERIFY(eve->waitForDisconnect());
        QCOMPARE(eve->readFor(0), QByteArray("MOTD\tRules\r\nbanned\r\nREMOVEUSER\tEve\r\n"));
        QCOMPARE(receivedLines(*ann, 1), Lines{"REMOVEUSER\tEve\r\n"});
        QVERIFY(fixture.table.slot(1).free);
        QCOMPARE(fixture.table.row(1), QByteArray("EMPTY"));
    } else {
        QCOMPARE(receivedLines(*eve, 5),
                 (Lines{"MOTD\tRules\r\n", "GETPROFILE\tEve\t\r\n", "ADDUSER\tAnn\r\n",
                        "ADDUSER\tEve\r\n", "MOTD\tRules\r\n"}));
        QCOMPARE(receivedLines(*ann, 1), Lines{"ADDUSER\tEve\r\n"});
    }
}

void TestJoinCommands::nameWithoutFieldListsNobody()
{
    ChatFixture fixture;
    fixture.chat->setMotd("M");
    auto ann = joinOne(fixture, "Ann");
    auto nameless = fixture.connect();
    nameless->sendLine("Name");
    QCOMPARE(receivedLines(*nameless, 2), (Lines{"MOTD\tM\r\n", "ADDUSER\tAnn\r\n"}));
    QCOMPARE(receivedLines(*ann, 0), Lines{});
    QCOMPARE(fixture.table.row(1), QByteArray("EMPTY"));
    QVERIFY(nameless->isConnected());
}

void TestJoinCommands::motdKeepsItsLineBreaks()
{
    ChatFixture fixture;
    fixture.chat->setMotd("Line one\r\nLine two");
    auto ann = fixture.connect();
    ann->send("Name\tAnn\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*ann, 6),
             (Lines{"MOTD\tLine one\r\n", "Line two\r\n", "GETPROFILE\tAnn\t\r\n",
                    "ADDUSER\tAnn\r\n", "MOTD\tLine one\r\n", "Line two\r\n"}));
}

void TestJoinCommands::profileVersion_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("warned");

    QTest::newRow("5.0") << QByteArray("PROFILE\tbob\tx\t5.0\tmore") << false;
    QTest::newRow("5.01") << QByteArray("PROFILE\tBOB\tx\t5.01") << true;
    QTest::newRow("empty version") << QByteArray("PROFILE\tBob\tx\t") << true;
    QTest::newRow("trailing space") << QByteArray("PROFILE\tbob\tx\t5.0 ") << true;
    QTest::newRow("no version field") << QByteArray("PROFILE\tbob\tx") << false;
    QTest::newRow("not listed") << QByteArray("PROFILE\tNobody\tx\t4.0") << false;
    QTest::newRow("suffix not given") << QByteArray("PROFILE\tCat\tx\t4.0") << false;
    QTest::newRow("no name") << QByteArray("PROFILE") << false;
}

void TestJoinCommands::profileVersion()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, warned);

    ChatFixture fixture;
    fixture.chat->setMotd("M");
    auto clients = joinAll(fixture, {"Ann", "Bob", "Cat"});
    fixture.table.setRow(2, "Cat [AW]");
    clients[0]->send(line + "\r\nMOTD\r\n");

    const Lines warning{
        "PM\tSERVER: \tIncorrect Version, you should be using version 5.0. Please Download the "
        "latest version from the tarnwick website or file mirror.\r\n"};
    QCOMPARE(receivedLines(*clients[1], warned ? 1 : 0), warned ? warning : Lines{});
    QCOMPARE(receivedLines(*clients[0], warned ? 0 : 1), warned ? Lines{} : Lines{"MOTD\tM\r\n"});
    QCOMPARE(receivedLines(*clients[2], 0), Lines{});
    QVERIFY(clients[1]->isConnected());
}

void TestJoinCommands::serverAnnouncesWithoutChangingTheRow()
{
    ChatFixture fixture;
    auto ann = joinOne(fixture, "Ann");
    auto unjoined = fixture.connect();
    ann->send("SERVER\tZed\r\nSERVER\r\n");
    const Lines announce{"Announce\tZed has joined Tarnwick!\r\n"};
    QCOMPARE(receivedLines(*ann, 1), announce);
    QCOMPARE(receivedLines(*unjoined, 1), announce);
    QCOMPARE(fixture.table.slot(0).name, QByteArray("Zed"));
    QCOMPARE(fixture.table.row(0), QByteArray("Ann"));
}

void TestJoinCommands::newUserAppendsRecords()
{
    ChatFixture fixture;
    auto ann = fixture.connect();
    QByteArray full = "NEWUSER\trec";
    QByteArray expected = "rec\r\n";
    for (int i = 2; i <= 15; ++i) {
        full += "\tf" + QByteArray::number(i);
        expected += "f" + QByteArray::number(i) + "\r\n";
    }
    ann->send(full + "\textra\r\n" + "NEWUSER\trec\tonly\r\n");
    QCOMPARE(receivedLines(*ann, 0), Lines{});
    QByteArray shortRecord = "rec\r\nonly\r\n";
    for (int i = 3; i <= 15; ++i)
        shortRecord += "\r\n";
    QCOMPARE(fixture.readWorkingFile(QStringLiteral("rec")), expected + shortRecord);
}

void TestJoinCommands::newUserRefusesFileName_data()
{
    QTest::addColumn<QByteArray>("name");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("dot dot") << QByteArray("..");
    QTest::newRow("slash") << QByteArray("sub/x");
    QTest::newRow("parent") << QByteArray("../tarnwick-newuser-escape");
    QTest::newRow("absolute") << QByteArray("/tmp/x");
    QTest::newRow("backslash") << QByteArray("..\\x");
    QTest::newRow("nul") << QByteArray("log.txt\0x", 9);
    QTest::newRow("users.mdb") << QByteArray("users.mdb");
    QTest::newRow("sysops.dat") << QByteArray("SysOps.DAT");
    QTest::newRow("ban.txt") << QByteArray("ban.txt");
    QTest::newRow("motd.txt") << QByteArray("MOTD.txt");
    QTest::newRow("log.txt") << QByteArray("log.txt");
    QTest::newRow("server file") << QByteArray("My Server.TKL");
    QTest::newRow("executable")
        << QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLatin1();
}

void TestJoinCommands::newUserRefusesFileName()
{
    QFETCH(QByteArray, name);

    ChatFixture fixture;
    QSignalSpy output(fixture.chat.get(), &ChatServer::outputLine);
    const QStringList before =
        QDir(fixture.config.workingDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    auto ann = fixture.connect();
    ann->send("NEWUSER\t" + name + "\ta\tb\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*ann, 1), Lines{"MOTD\t\r\n"});

    QByteArray shown = name;
    shown.replace('\0', '?');
    QCOMPARE(output.size(), 1);
    QCOMPARE(output.at(0).at(0).toByteArray(),
             "Refused a NEWUSER record file name: \"" + shown + '"');
    QStringList after =
        QDir(fixture.config.workingDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    after.removeAll(QStringLiteral("log.txt"));
    QCOMPARE(after, before);
    QVERIFY(!QFileInfo::exists(QDir(fixture.config.workingDirectory)
                                   .filePath(QStringLiteral("../tarnwick-newuser-escape"))));
}

QTEST_MAIN(TestJoinCommands)
#include "tst_joincommands.moc"
