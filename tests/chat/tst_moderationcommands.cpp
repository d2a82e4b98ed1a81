#include "chattestlines.h"

#include "admin/sysoplist.h"
#include "core/chatserver.h"
#include "platform/clientsocket.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using Lines = QList<QByteArray>;

namespace {
const QByteArray Mark = "\xA5";
const QByteArray SysopsFile = "\r\nAnn the mod\tann@x.org\tS3cret\r\nDan\tdan@x.org\tpw\r\n";
const QByteArray Granted =
    "STATUSTEXT\t16711680\tModerator Privlidges Granted - You are now a moderator.\r\n";
const QByteArray Denied =
    "STATUSTEXT\t255\tModerator Privlidges Denied - You have been logged.\r\n";
const QByteArray PermissionDenied = "STATUSTEXT\t255\tPermission Denied\r\n";

// The event entries of log.txt: date and time, then the text (no address).
bool hasEvent(const QByteArray &log, const QByteArray &text)
{
    for (const QByteArray &line : log.split('\n')) {
        if (!line.endsWith(QByteArray(text + '\r')))
            continue;
        const QByteArray stamp = line.chopped(text.size() + 1);
        if (!stamp.isEmpty() && !stamp.contains("127.0.0."))
            return true;
    }
    return false;
}
} // namespace

// Ann (127.0.0.1, slot 0), Bob (127.0.0.2, slot 1) and Cat (127.0.0.3,
// slot 2) have joined; the sysop list names Ann and Dan.
struct Room
{
    ChatFixture fixture;
    std::unique_ptr<RawClient> ann;
    std::unique_ptr<RawClient> bob;
    std::unique_ptr<RawClient> cat;

    Room()
    {
        fixture.writeProgramFile("sysops.dat", SysopsFile);
        ann = fixture.join("Ann", "127.0.0.1");
        bob = fixture.join("Bob", "127.0.0.2");
        cat = fixture.join("Cat", "127.0.0.3");
        drainAll();
    }

    // Ann becomes a moderator.
    void promoteAnn()
    {
        ann->sendLine("RequestOP\tAnn\tann@x.org\tS3cret");
        QCOMPARE(receivedLines(*ann, 3).first(), Granted);
        drainAll();
    }

    void drainAll()
    {
        QTest::qWait(30);
        for (RawClient *client : {ann.get(), bob.get(), cat.get()})
            client->drain(10);
    }

    QByteArray banFile() const
    {
        QFile file(fixture.programFile("ban.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

class TestModerationCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void requestOp_data();
    void requestOp();
    void secondGrantAddsSecondMark();
    void grantTellsOthersTheNameFromTheLine();
    void passwordNeverReachesLog();
    void savedSysopListIsTheOneChecked();
    void moderatorCommandsNeedTheFlag_data();
    void moderatorCommandsNeedTheFlag();
    void getIp_data();
    void getIp();
    void banRemovesUserAndKeepsAddressOut();
    void banMatching_data();
    void banMatching();
    void banWithoutNameOrReason();
    void banFileNotWritable();
    void moderatorBanningThemselves();
    void kickMatching_data();
    void kickMatching();
    void kickSparesNewcomerOnTheIndex();
    void ipBanByModerator();
};

void TestModerationCommands::requestOp_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("granted");

    QTest::newRow("exact") << QByteArray("RequestOP\tAnn\tann@x.org\tS3cret") << true;
    QTest::newRow("password case") << QByteArray("RequestOP\tAnn\tann@x.org\ts3cret") << false;
    QTest::newRow("no password field") << QByteArray("RequestOP\tAnn\tann@x.org") << false;
}

void TestModerationCommands::requestOp()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, granted);
    Room room;
    room.ann->sendLine(line);
    if (granted) {
        QCOMPARE(receivedLines(*room.ann, 3),
                 (Lines{Granted, "REMOVEUSER\tAnn\r\n", "ADDUSER\t" + Mark + "Ann\r\n"}));
        QCOMPARE(receivedLines(*room.cat, 2),
                 (Lines{"REMOVEUSER\tAnn\r\n", "ADDUSER\t" + Mark + "Ann\r\n"}));
        QCOMPARE(room.fixture.table.row(0), Mark + "Ann");
        QCOMPARE(room.fixture.table.slot(0).name, Mark + "Ann");
    } else {
        QCOMPARE(receivedLines(*room.ann, 1), Lines{Denied});
        QCOMPARE(receivedLines(*room.cat, 0), Lines{});
        QCOMPARE(room.fixture.table.row(0), QByteArray("Ann"));
        QVERIFY(room.ann->isConnected());
    }
    QCOMPARE(room.fixture.table.slot(0).operatorFlag, granted);
}

void TestModerationCommands::secondGrantAddsSecondMark()
{
    Room room;
    room.promoteAnn();
    room.ann->sendLine("RequestOP\tAnn\tann@x.org\tS3cret");
    QCOMPARE(receivedLines(*room.ann, 3),
             (Lines{Granted, "REMOVEUSER\tAnn\r\n", "ADDUSER\t" + Mark + "Ann\r\n"}));
    QCOMPARE(room.fixture.table.row(0), Mark + Mark + "Ann");
    QCOMPARE(room.fixture.table.slot(0).name, Mark + Mark + "Ann");
}

void TestModerationCommands::grantTellsOthersTheNameFromTheLine()
{
    Room room;
    room.ann->sendLine("RequestOP\tZed\tann@x.org\tS3cret");
    QCOMPARE(receivedLines(*room.bob, 2),
             (Lines{"REMOVEUSER\tZed\r\n", "ADDUSER\t" + Mark + "Zed\r\n"}));
    QCOMPARE(room.fixture.table.row(0), Mark + "Ann");
}

void TestModerationCommands::passwordNeverReachesLog()
{
    Room room;
    room.promoteAnn();
    room.bob->send("MOTD\r\nRequestOP\tBob\tbob@x.org\tMyPass\r\n");
    QCOMPARE(receivedLines(*room.bob, 2), (Lines{"MOTD\t\r\n", Denied}));
    const QByteArray log = room.fixture.readWorkingFile("log.txt");
    QVERIFY(log.contains("127.0.0.1 RequestOP\tAnn\tann@x.org\t***\r\r\n"));
    QVERIFY(log.contains("127.0.0.2 MOTD\r\nRequestOP\tBob\tbob@x.org\t***\r\r\n"));
    QVERIFY(!log.contains("S3cret"));
    QVERIFY(!log.contains("MyPass"));
}

void TestModerationCommands::savedSysopListIsTheOneChecked()
{
    Room room;
    QFile::remove(room.fixture.programFile("sysops.dat"));
    // A list under another spelling of the name is not the sysop list.
    room.fixture.writeProgramFile("Sysops.dat", SysopsFile);
    room.ann->sendLine("RequestOP\tAnn\tann@x.org\tS3cret");
    QCOMPARE(receivedLines(*room.ann, 1), Lines{Denied});

    QVERIFY(SysopList::save(room.fixture.programFile(QLatin1String(SysopList::FileName)),
                            {{"Ann", "ann@x.org", "S3cret"}}));
    room.ann->sendLine("RequestOP\tAnn\tann@x.org\tS3cret");
    QCOMPARE(receivedLines(*room.ann, 3).first(), Granted);
}

void TestModerationCommands::moderatorCommandsNeedTheFlag_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("goesOn");

    QTest::newRow("GETIP") << QByteArray("GETIP\tCat") << true;
    QTest::newRow("BAN") << QByteArray("BAN\tCat\tspam") << true;
    QTest::newRow("KICK") << QByteArray("KICK\tCat\tspam") << false;
    QTest::newRow("IPBAN") << QByteArray("IPBAN\t127.0.0.3") << true;
}

void TestModerationCommands::moderatorCommandsNeedTheFlag()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, goesOn);
    Room room;
    room.promoteAnn();
    // Bob is no moderator; the line after shows whether the chunk went on.
    room.bob->send(line + "\r\nRequestOP\tBob\tx\ty\r\n");
    const Lines expected = goesOn ? Lines{PermissionDenied, Denied} : Lines{PermissionDenied};
    QCOMPARE(receivedLines(*room.bob, expected), expected);
    QCOMPARE(receivedLines(*room.cat, 0), Lines{});
    QVERIFY(room.cat->isConnected());
    QCOMPARE(room.fixture.table.row(2), QByteArray("Cat"));
    QVERIFY(!QFile::exists(room.fixture.programFile("ban.txt")));
    QVERIFY(!room.fixture.readWorkingFile("log.txt").contains(" banned "));
    QVERIFY(!room.fixture.readWorkingFile("log.txt").contains(" was kicked "));
}

void TestModerationCommands::getIp_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<Lines>("expected");

    const QByteArray bobIp = "Message\t* Bob's IP: 127.0.0.2\t\r\n";
    const QByteArray catIp = "Message\t* Cat's IP: 127.0.0.3\t\r\n";
    QTest::newRow("found ends the chunk")
        << QByteArray("GETIP\tBob\r\nGETIP\tCat\r\n") << Lines{bobIp};
    QTest::newRow("not found goes on")
        << QByteArray("GETIP\tbob\r\nGETIP\tCat\r\n") << Lines{catIp};
    QTest::newRow("no name field goes on") << QByteArray("GETIP\r\nGETIP\tCat\r\n") << Lines{catIp};
    QTest::newRow("moderator without mark")
        << QByteArray("GETIP\tAnn\r\nGETIP\tCat\r\n") << Lines{catIp};
    QTest::newRow("moderator with mark")
        << QByteArray("GETIP\t" + Mark + "Ann\r\nGETIP\tCat\r\n")
        << Lines{"Message\t* " + Mark + "Ann's IP: 127.0.0.1\t\r\n"};
    QTest::newRow("free slot is nobody") << QByteArray("GETIP\t\r\nGETIP\tCat\r\n") << Lines{catIp};
}

void TestModerationCommands::getIp()
{
    QFETCH(QByteArray, chunk);
    QFETCH(Lines, expected);
    Room room;
    room.promoteAnn();
    room.ann->send(chunk);
    QCOMPARE(receivedLines(*room.ann, expected), expected);
    QCOMPARE(receivedLines(*room.bob, 0), Lines{});
}

void TestModerationCommands::banRemovesUserAndKeepsAddressOut()
{
    Room room;
    room.promoteAnn();
    QSignalSpy output(room.fixture.chat.get(), &ChatServer::outputLine);
    room.ann->sendLine("BAN\tbob\tspamming");

    QCOMPARE(receivedLines(*room.bob, 2),
             (Lines{"BANUSER\t" + Mark + "Ann\tspamming\r\n", "REMOVEUSER\tBob\r\n"}));
    QVERIFY(room.bob->waitForDisconnect());
    const Lines announced{"REMOVEUSER\tBob\r\n",
                          "Message\t* bob was banned from Tarnwick by " + Mark +
                              "Ann! Reason: spamming\r\n",
                          "\t\r\n"};
    QCOMPARE(receivedLines(*room.ann, announced), announced);
    QCOMPARE(receivedLines(*room.cat, announced), announced);
    QCOMPARE(room.banFile(), QByteArray("\"127.0.0.2\"\r\n"));
    QVERIFY(hasEvent(room.fixture.readWorkingFile("log.txt"), Mark + "Ann banned bob (127.0.0.2)"));
    QCOMPARE(room.fixture.table.row(1), ConnectionTable::EmptyRow);
    QVERIFY(room.fixture.table.slot(1).free);
    QCOMPARE(output.size(), 1);
    QCOMPARE(output.at(0).at(0).toByteArray(),
             "* bob was banned from Tarnwick by " + Mark + "Ann! Reason: spamming\r\n");

    // The address is refused at its next join, after the MOTD.
    room.fixture.chat->setMotd("Welcome");
    auto again = room.fixture.connect("127.0.0.2");
    again->sendLine("Name\tBobby");
    QCOMPARE(receivedLines(*again, 3),
             (Lines{"MOTD\tWelcome\r\n", "banned\r\n", "REMOVEUSER\tBobby\r\n"}));
    QVERIFY(again->waitForDisconnect());
    // Refused before the user-list exchange: the others never learnt the name.
    QCOMPARE(receivedLines(*room.cat, 1), Lines{"REMOVEUSER\tBobby\r\n"});
}

void TestModerationCommands::banMatching_data()
{
    QTest::addColumn<QByteArray>("catRow");
    QTest::addColumn<QByteArray>("catName");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("banned");
    QTest::addColumn<bool>("logged");

    const QByteArray cat = "Cat";
    const QByteArray emile = "\xC9mile";
    QTest::newRow("case folded") << cat << cat << QByteArray("cAT") << true << true;
    QTest::newRow("Windows-1252 letters")
        << emile << emile << QByteArray("\xE9MILE") << true << true;
    QTest::newRow("away row is not the bare name")
        << QByteArray("Cat [AW]") << cat << cat << false << false;
    QTest::newRow("moderator needs the mark") << Mark + cat << Mark + cat << cat << false << false;
    QTest::newRow("moderator with the mark")
        << Mark + cat << Mark + cat << Mark + "cat" << true << true;
    QTest::newRow("row matches, slot name differs")
        << cat << QByteArray("Kat") << cat << false << true;
    QTest::newRow("EMPTY is nobody") << cat << cat << QByteArray("empty") << false << false;
}

void TestModerationCommands::banMatching()
{
    QFETCH(QByteArray, catRow);
    QFETCH(QByteArray, catName);
    QFETCH(QByteArray, target);
    QFETCH(bool, banned);
    QFETCH(bool, logged);
    Room room;
    room.promoteAnn();
    room.fixture.table.setRow(2, catRow);
    room.fixture.table.slot(2).name = catName;
    auto idle = room.fixture.connect("127.0.0.5"); // connected, not joined: row "EMPTY"
    room.ann->sendLine("BAN\t" + target + "\tno");

    const QByteArray announcement =
        "Message\t* " + target + " was banned from Tarnwick by " + Mark + "Ann! Reason: no\r\n";
    if (banned) {
        QCOMPARE(receivedLines(*room.cat, 2),
                 (Lines{"BANUSER\t" + Mark + "Ann\tno\r\n", "REMOVEUSER\t" + catName + "\r\n"}));
        QVERIFY(room.cat->waitForDisconnect());
        QCOMPARE(receivedLines(*room.bob, 3),
                 (Lines{"REMOVEUSER\t" + catName + "\r\n", announcement, "\t\r\n"}));
        QCOMPARE(room.banFile(), QByteArray("\"127.0.0.3\"\r\n"));
    } else {
        // Announced all the same; nobody removed, nothing stored.
        QCOMPARE(receivedLines(*room.bob, 2), (Lines{announcement, "\t\r\n"}));
        QCOMPARE(receivedLines(*room.cat, 2), (Lines{announcement, "\t\r\n"}));
        QVERIFY(room.cat->isConnected());
        QVERIFY(!QFile::exists(room.fixture.programFile("ban.txt")));
    }
    const QByteArray log = room.fixture.readWorkingFile("log.txt");
    // The log names each matching row, whether or not a slot name matched.
    QCOMPARE(hasEvent(log, Mark + "Ann banned " + target + " (127.0.0.3)"), logged);
    QCOMPARE(log.contains(" banned "), logged);
    QVERIFY(idle->isConnected());
}

void TestModerationCommands::banWithoutNameOrReason()
{
    Room room;
    room.promoteAnn();
    // Without a name: nobody banned, nothing announced. Without a reason: the
    // ban is carried out, but no line that needs the reason is sent.
    room.ann->send("BAN\r\nBAN\tBob\r\nGETIP\tCat\r\n");
    QCOMPARE(receivedLines(*room.bob, 1), Lines{"REMOVEUSER\tBob\r\n"});
    QVERIFY(room.bob->waitForDisconnect());
    QCOMPARE(receivedLines(*room.ann, 2),
             (Lines{"REMOVEUSER\tBob\r\n", "Message\t* Cat's IP: 127.0.0.3\t\r\n"}));
    QCOMPARE(room.banFile(), QByteArray("\"127.0.0.2\"\r\n"));
}

void TestModerationCommands::banFileNotWritable()
{
    Room room;
    room.promoteAnn();
    QVERIFY(QDir(room.fixture.programFolder.path()).mkdir("ban.txt"));
    QSignalSpy output(room.fixture.chat.get(), &ChatServer::outputLine);
    room.ann->sendLine("BAN\tBob\tspam");
    QCOMPARE(receivedLines(*room.bob, 2),
             (Lines{"BANUSER\t" + Mark + "Ann\tspam\r\n", "REMOVEUSER\tBob\r\n"}));
    QVERIFY(room.bob->waitForDisconnect());
    QCOMPARE(receivedLines(*room.cat, 3).first(), QByteArray("REMOVEUSER\tBob\r\n"));
    QCOMPARE(output.size(), 2);
    const QByteArray notice = output.at(0).at(0).toByteArray();
    QVERIFY2(notice.startsWith("The ban of 127.0.0.2 could not be stored in "), notice);
    QVERIFY(notice.contains("ban.txt"));
}

void TestModerationCommands::moderatorBanningThemselves()
{
    Room room;
    room.promoteAnn();
    room.ann->send("BAN\t" + Mark + "ann\tbye\r\nMSG\tstill here\r\n");
    QCOMPARE(receivedLines(*room.ann, 2),
             (Lines{"BANUSER\t" + Mark + "Ann\tbye\r\n", "REMOVEUSER\t" + Mark + "Ann\r\n"}));
    QVERIFY(room.ann->waitForDisconnect());
    // Gone with the ban: nothing more is done for the moderator's line.
    QCOMPARE(receivedLines(*room.cat, 1), Lines{"REMOVEUSER\t" + Mark + "Ann\r\n"});
    QCOMPARE(room.banFile(), QByteArray("\"127.0.0.1\"\r\n"));
}

void TestModerationCommands::kickMatching_data()
{
    QTest::addColumn<QByteArray>("catRow");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("kicked");

    QTest::newRow("exact") << QByteArray("Cat") << QByteArray("Cat") << true;
    QTest::newRow("other case") << QByteArray("Cat") << QByteArray("cat") << false;
    QTest::newRow("away without suffix") << QByteArray("Cat [AW]") << QByteArray("Cat") << false;
    QTest::newRow("away with suffix") << QByteArray("Cat [AW]") << QByteArray("Cat [AW]") << true;
    QTest::newRow("moderator with mark") << Mark + "Cat" << Mark + "Cat" << true;
    QTest::newRow("EMPTY is nobody") << QByteArray("Cat") << QByteArray("EMPTY") << false;
}

void TestModerationCommands::kickMatching()
{
    QFETCH(QByteArray, catRow);
    QFETCH(QByteArray, target);
    QFETCH(bool, kicked);
    Room room;
    room.promoteAnn();
    room.fixture.table.setRow(2, catRow);
    auto idle = room.fixture.connect("127.0.0.5");
    room.ann->send("KICK\t" + target + "\tbye\r\nGETIP\tBob\r\n");
    const QByteArray announcement =
        "Message\t* " + target + " was kicked from Tarnwick by " + Mark + "Ann! Reason: bye\t\r\n";
    if (kicked) {
        QCOMPARE(receivedLines(*room.cat, 3),
                 (Lines{announcement, "Kicked\t" + Mark + "Ann\tbye\r\n", "REMOVEUSER\tCat\r\n"}));
        QVERIFY(room.cat->waitForDisconnect());
        QCOMPARE(receivedLines(*room.ann, 2), (Lines{announcement, "REMOVEUSER\tCat\r\n"}));
    } else {
        QCOMPARE(receivedLines(*room.cat, 1), Lines{announcement});
        QCOMPARE(receivedLines(*room.ann, 1), Lines{announcement});
        QVERIFY(room.cat->isConnected());
    }
    QCOMPARE(room.fixture.table.row(2) == ConnectionTable::EmptyRow, kicked);
    QVERIFY(idle->isConnected());
    QVERIFY(hasEvent(room.fixture.readWorkingFile("log.txt"),
                     target + " was kicked by " + Mark + "Ann. Reason: bye"));
    QVERIFY(!QFile::exists(room.fixture.programFile("ban.txt")));
}

void TestModerationCommands::kickSparesNewcomerOnTheIndex()
{
    ChatFixture fixture;
    fixture.writeProgramFile("sysops.dat", SysopsFile);
    auto ann = fixture.join("Ann");
    ann->sendLine("RequestOP\tAnn\tann@x.org\tS3cret");
    QCOMPARE(receivedLines(*ann, 3).first(), Granted);
    QCOMPARE(fixture.chat->acceptSimulated("10.0.0.2"), 1);
    ClientSocket &socket = fixture.chat->socket(1);
    socket.simulateReceive("Name\tBob\r\n");
    QCOMPARE(fixture.table.row(1), QByteArray("Bob"));
    ann->drain();
    socket.takeSimulatedOutput();

    // While the kick gives way to the event loop, Bob leaves and a newcomer,
    // also called Bob, takes his index.
    QByteArray bobSaw;
    int newcomer = -1;
    QObject context;
    QObject::connect(&fixture.table, &ConnectionTable::rowChanged, &context, [&] {
        QObject::disconnect(&fixture.table, nullptr, &context, nullptr);
        QTimer::singleShot(0, &context, [&] {
            bobSaw = socket.takeSimulatedOutput();
            socket.simulatePeerClose();
            newcomer = fixture.chat->acceptSimulated("10.0.0.9");
            fixture.table.setRow(newcomer, "Bob");
            fixture.table.slot(newcomer).name = "Bob";
        });
    });
    // The grant changes Ann's row (the hook); the kick without a reason does
    // not broadcast, so its first yield is the one inside the search.
    ann->send("RequestOP\tAnn\tann@x.org\tS3cret\r\nKICK\tBob\r\n");
    QTRY_COMPARE(newcomer, 1);
    QTest::qWait(50);
    QCOMPARE(bobSaw, "REMOVEUSER\tAnn\r\nADDUSER\t" + Mark + "Ann\r\n");
    QVERIFY(fixture.chat->isConnected(1));
    QCOMPARE(fixture.table.row(1), QByteArray("Bob"));
    QVERIFY(!socket.takeSimulatedOutput().contains("REMOVEUSER\tBob"));
}

void TestModerationCommands::ipBanByModerator()
{
    Room room;
    room.promoteAnn();
    room.ann->send("IPBAN\t127.0.0.3\r\nIPBAN\r\nIPBAN\t127.0.0.3\r\n");
    QTRY_COMPARE(room.banFile(), QByteArray("\"127.0.0.3\"\r\n\"127.0.0.3\"\r\n"));
    QCOMPARE(receivedLines(*room.ann, 0), Lines{});
    // Cat stays until her next join, which is refused.
    QVERIFY(room.cat->isConnected());
    room.cat->sendLine("Name\tCatherine");
    QCOMPARE(receivedLines(*room.cat, 3),
             (Lines{"MOTD\t\r\n", "banned\r\n", "REMOVEUSER\tCatherine\r\n"}));
    QVERIFY(room.cat->waitForDisconnect());
}

QTEST_GUILESS_MAIN(TestModerationCommands)
#include "tst_moderationcommands.moc"
