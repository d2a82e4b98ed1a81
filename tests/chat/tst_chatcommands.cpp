#include "chatfixture.h"
#include "platform/clientsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using Lines = QList<QByteArray>;

namespace {
const QByteArray Mark = "\xA5";
const QByteArray Grant = "RequestOP\tAnn\tann@x.org\tS3cret";
const QByteArray Granted =
    "STATUSTEXT\t16711680\tModerator Privlidges Granted - You are now a moderator.\r\n";
const QByteArray Denied =
    "STATUSTEXT\t255\tModerator Privlidges Denied - You have been logged.\r\n";

// The next `count` lines a client receives, plus whatever else arrived within
// 30 ms as one more entry, so an unexpected extra line fails the comparison.
Lines receivedLines(RawClient &client, qsizetype count)
{
    Lines lines = count > 0 ? client.readLines(int(count)) : Lines();
    if (const QByteArray rest = client.readFor(30); !rest.isEmpty())
        lines.append(rest);
    return lines;
}

// Ann (127.0.0.1, slot 0), Bob (127.0.0.2, slot 1) and Cat (127.0.0.3, slot 2)
// have joined; U (slot 3) is connected but has not. The sysop list names Ann.
struct Room
{
    ChatFixture fixture;
    std::vector<std::unique_ptr<RawClient>> clients;

    Room()
    {
        fixture.writeProgramFile("sysops.dat", "\r\nAnn the mod\tann@x.org\tS3cret\r\n");
        for (const char *name : {"Ann", "Bob", "Cat"})
            clients.push_back(fixture.join(name, "127.0.0." + QString::number(clients.size() + 1)));
        clients.push_back(fixture.connect());
        drain();
    }
    RawClient &operator[](char who) { return *clients[QByteArrayView("ABCU").indexOf(who)]; }
    void drain()
    {
        QTest::qWait(20);
        for (auto &client : clients)
            client->drain(10);
    }
    void promoteAnn()
    {
        (*this)['A'].sendLine(Grant);
        QTRY_VERIFY(fixture.table.slot(0).operatorFlag);
        drain();
    }
    QByteArray banFile() const
    {
        QFile file(fixture.programFile("ban.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};
} // namespace

// One chunk sent in a fresh Room by `sender`: a client's letter, or 'M' for
// Ann as a moderator. `wire` has every line sent, in order and without CR LF,
// each behind the letters of the clients that get it. `goesOn`: the "MOTD"
// sent behind the chunk is answered. `shown`: the log view's line.
struct WireRow
{
    char sender;
    QByteArray bobRow, chunk, wire;
    bool goesOn;
    QByteArray bobRowAfter, shown;
};
Q_DECLARE_METATYPE(WireRow)

namespace {
void addWireRow(const char *name, char sender, const QByteArray &bobRow, const QByteArray &chunk,
                const QByteArray &wire, bool goesOn = true, const QByteArray &bobRowAfter = {},
                const QByteArray &shown = {})
{
    const QByteArray after = bobRowAfter.isEmpty() ? bobRow : bobRowAfter;
    QTest::newRow(name) << WireRow{sender, bobRow, chunk, wire, goesOn, after, shown};
}

QByteArray told(const QByteArray &from, const QByteArray &to)
{
    return "ABCU REMOVEUSER\t" + from + "\nABCU ADDUSER\t" + to;
}

// What U gets when it joins as `name`, and what the others are told.
QByteArray joined(const QByteArray &name, const QByteArray &bobRow)
{
    return "U MOTD\t\nU GETPROFILE\t" + name + "\t\nU ADDUSER\tAnn\nU ADDUSER\t" + bobRow +
           "\nU ADDUSER\tCat\nABCU ADDUSER\t" + name;
}
} // namespace

class TestChatCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void wire_data();
    void wire();
    void sameNameAtTheSameMomentIsListedOnce();
    void newUserRecord_data();
    void newUserRecord();
    void onlySysopsDatIsTheSysopList();
    void ban_data();
    void ban();
    void banThatCannotBeStoredIsCarriedOut();
    void kickSparesNewcomerOnTheIndex();
    void ipBanRefusesTheNextJoin();
};

void TestChatCommands::wire_data()
{
    QTest::addColumn<WireRow>("row");
    const QByteArray warning = "B PM\tSERVER: \tIncorrect Version, you should be using version "
                               "5.0. Please Download the latest version from the tarnwick "
                               "website or file mirror.";
    const QByteArray denied = "A STATUSTEXT\t255\tPermission Denied\n";
    const QByteArray kicked = "* Bob [AW] was kicked from Tarnwick by " + Mark + "Ann! Reason: x";
    const QByteArray missed = "* Bob was kicked from Tarnwick by " + Mark + "Ann! Reason: x";
    const QByteArray nobody = "* EMPTY was kicked from Tarnwick by " + Mark + "Ann! Reason: x";

    addWireRow("newcomer learns the listed rows slot by slot", 'U', "EMPTY", "Name\tDan",
               "U MOTD\t\nU GETPROFILE\tDan\t\nU ADDUSER\tAnn\nU ADDUSER\tCat\nABCU ADDUSER\tDan");
    addWireRow("marked or suffixed rows leave the bare name free", 'U', Mark + "Bob [AW]",
               "Name\tbob", joined("bob", Mark + "Bob [AW]"));
    addWireRow("a prefix is no duplicate", 'U', "Bob", "Name\tBobby", joined("Bobby", "Bob"));
    addWireRow("duplicate in another case", 'U', "Bob", "Name\tbOB", "U DOUBLE", false);
    addWireRow("duplicate in Windows-1252 letters", 'U', "\xC9mile", "Name\t\xE9MILE", "U DOUBLE",
               false);
    addWireRow("EMPTY is nobody's name", 'U', "Bob", "Name\tempty", "U DOUBLE", false);
    addWireRow("SERVER only announces", 'B', "Bob", "SERVER\tZed\r\nSERVER",
               "ABCU Announce\tZed has joined Tarnwick!");

    addWireRow("public text skips in-game rows", 'A', "Bob [IG]", "Message\tAnn: \thi",
               "ACU Message\tAnn: \thi\t", true, {}, "Ann: \thi");
    addWireRow("action ends with an extra line", 'A', "Bob [IG]", "ACTION\tAnn hops\r\nACTION",
               "ACU Message\tAnn hops \t \nACU \t", true, {}, "Ann hops \t \r\n");
    addWireRow("server text from a moderator", 'M', "Bob", "MSG\thi", "ABCU Message\tServer: hi\t",
               true, {}, "Server: hi");
    addWireRow(
        "in-game user gets private lines but no sound, which ends the chunk", 'A', "Bob [IG]",
        "PM\tbob [ig]\t\tAnn\r\nURL\tBob [IG]\tu\tAnn\r\n"
        "GAME\t1\tBob [IG]\tg1\tg2\tg3\tg4\tg5\tg6\r\nSOUND\tding",
        "B PM\tAnn\t\nB URL\tAnn\tu\nB GAME\tg1\tg2\tg3\tg4\tg5\tg6\nACU PLAYSOUND\tding", false);
    addWireRow("sound without its field ends the chunk too", 'A', "Bob", "SOUND", {}, false);
    addWireRow("moderator mark is part of the name", 'A', Mark + "Bob",
               "PM\tBob\tno\tAnn\r\nPM\t" + Mark + "bob\thi\tAnn", "B PM\tAnn\thi");
    addWireRow("suffix is part of the name", 'A', "Bob [AW]",
               "PM\tBob\tno\tAnn\r\nPM\tBOB [aw]\thi\tAnn", "B PM\tAnn\thi");
    addWireRow("private line reaches every matching row", 'A', "CAT", "PM\tcat\thi\tAnn",
               "BC PM\tAnn\thi");
    addWireRow("relays to the named user", 'A', "Bob",
               "GETPROFILE2\tbob\tAnn\r\n"
               "PROFILE2\tBOB\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\tx\r\n"
               "PROFILE2\tBob\t\t\t\t\t\t\t\t\t\t\t\t\t\tx\r\nPINGUSER\tBob\tAnn\r\n"
               "RETURNPING\t1\t2\tbob\r\nSTART\tBob\tx\r\nDECLINE\tBob\tAnn\r\n"
               "XCEPT\tBob\tAnn\r\nUSERIP\tBob\tAnn 1.2.3.4\r\nOKRETURNIP\tBob\td\r\n"
               "GETIPFT\tBob\td\r\nOKUSERFT\tBob\td",
               "B GETPROFILE2\tAnn\t\nB PROFILE\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\n"
               "B PROFILE\t\t\t\t\t\t\t\t\t\t\t\t\t\nB PING\tAnn\t\nB THEPING\t1\t2\n"
               "B START\nB DECLINE\tAnn\nB XCEPT\tAnn\t\nB GETUSERIP\tAnn 1.2.3.4\n"
               "B OKUSERIP\td\nB GETIPFT\td\nB RETURNFT\td");
    addWireRow("version 5.0 and lines missing a field send nothing", 'A', "Bob",
               "PROFILE\tbob\tx\t5.0\tmore\r\n"
               "Message\tAnn: \r\nMessage\r\nPM\tBob\thi\r\nPM\r\nURL\tBob\tx\r\n"
               "GETPROFILE2\tBob\r\nPROFILE2\tBob\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\r\n"
               "PINGUSER\tBob\r\nRETURNPING\t1\t2\r\nSTART\r\nDECLINE\tBob\r\nXCEPT\tBob\r\n"
               "USERIP\tBob\r\nOKRETURNIP\tBob\r\nGETIPFT\tBob\r\nOKUSERFT\tBob\r\n"
               "GAME\t1\tBob\tg1\tg2\tg3\tg4\tg5\r\nGAME\r\nPROFILE\tbob\tx\r\nPROFILE\r\n"
               "INGAME\r\n[CS]\r\n[AW]\r\nRETURN\r\nRETURNCS",
               {});
    // The count must be digits worth 1 to 5; Bob is named as each invitee.
    const QByteArrayList game{"bob", "bob", "bob", "bob", "bob", "bob",
                              "d1",  "d2",  "d3",  "d4",  "d5",  "d6"};
    const QByteArrayList invalid{"0", "6", "two", "-1", "+2", " 2", "2.5", "4294967298", ""};
    for (const QByteArray &count : QByteArrayList{"1", "2", "3", "4", "5", "02"} + invalid) {
        const int invited = invalid.contains(count) ? 0 : count.toInt();
        addWireRow(
            QByteArray("GAME count \"" + count + '"').constData(), 'A', "Bob",
            "GAME\t" + count + '\t' + game.join('\t'),
            QByteArray("B GAME\t" + game.mid(invited, 6).join('\t') + '\n').repeated(invited));
    }
    addWireRow("wrong client version is warned and ends the chunk", 'A', "Bob",
               "PROFILE\tBOB\tx\t5.01", warning, false);

    addWireRow("in game, told as written", 'B', "Bob", "INGAME\tbob", told("bob", "bob [IG]"), true,
               "Bob [IG]");
    addWireRow("suffixes pile up", 'B', "Bob [IG]", "[AW]\tBob [IG]",
               told("Bob [IG]", "Bob [IG] [AW]"), true, "Bob [IG] [AW]");
    addWireRow("away twice ends the chunk", 'B', "Bob", "[AW]\tBob\r\n[AW]\tBob",
               told("Bob", "Bob [AW]"), false, "Bob [AW]");
    addWireRow("return restores the name as written", 'B', "Bob [IG]", "RETURN\tbob",
               told("bob [IG]", "bob"), true, "bob");
    addWireRow("return from away after piling up", 'B', "Bob [IG] [AW]", "RETURNCS\tBob [IG]",
               told("Bob [IG] [AW]", "Bob [IG]"), true, "Bob [IG]");
    addWireRow("return when the state is not last", 'B', "Bob [IG] [AW]", "RETURN\tBob",
               told("Bob [IG]", "Bob"));
    addWireRow("return without the moderator mark", 'B', Mark + "Bob [IG]", "RETURN\tBob",
               told("Bob [IG]", "Bob"));
    addWireRow("EMPTY rows are nobody's", 'A', "EMPTY", "INGAME\tempty",
               told("empty", "empty [IG]"));
    addWireRow("unjoined client changes a row silently", 'U', "Bob", "INGAME\tBob", {}, true,
               "Bob [IG]");
    addWireRow("unjoined client's [CS] is told", 'U', "Bob", "[CS]\tBob", told("Bob", "Bob [CS]"),
               true, "Bob [CS]");

    // The sysop list's e-mail and password make a moderator; the others are
    // told the name the line gives.
    const QByteArray granted = "B " + Granted.chopped(2) + "\nABCU REMOVEUSER\t";
    addWireRow("moderator rights granted", 'B', "Bob", "RequestOP\tBob\tann@x.org\tS3cret",
               granted + "Bob\nABCU ADDUSER\t" + Mark + "Bob", true, Mark + "Bob");
    addWireRow("a second grant adds a second mark", 'B', Mark + "Bob",
               "RequestOP\tZed\tann@x.org\tS3cret", granted + "Zed\nABCU ADDUSER\t" + Mark + "Zed",
               true, Mark + Mark + "Bob");
    addWireRow("password compared exactly", 'B', "Bob", "RequestOP\tBob\tann@x.org\ts3cret",
               "B " + Denied.chopped(2));
    addWireRow("password field missing", 'B', "Bob", "RequestOP\tBob\tann@x.org",
               "B " + Denied.chopped(2));
    addWireRow("moderator commands need the flag", 'A', "Bob",
               "MSG\tx\r\nGETIP\tCat\r\nBAN\tCat\tx\r\nIPBAN\t127.0.0.3\r\nKICK\tCat\tx",
               denied.repeated(5), false);
    addWireRow("GETIP ends the chunk only when it finds the name", 'M', "Bob",
               "GETIP\r\nGETIP\tbob\r\nGETIP\tAnn\r\nGETIP\tCat\r\nGETIP\tBob",
               "A Message\t* Cat's IP: 127.0.0.3\t", false);
    addWireRow("KICK matches the shown text and ends the chunk", 'M', "Bob [AW]",
               "KICK\tBob [AW]\tx",
               "ABCU Message\t" + kicked + "\t\nB Kicked\t" + Mark + "Ann\tx\nABCU REMOVEUSER\tBob",
               false, "EMPTY", kicked);
    addWireRow("KICK announces whom it misses", 'M', "Bob [AW]", "KICK\tBob\tx",
               "ABCU Message\t" + missed + "\t", false, {}, missed);
    addWireRow("KICK leaves EMPTY rows alone", 'M', "EMPTY", "KICK\tEMPTY\tx",
               "ABCU Message\t" + nobody + "\t", false, {}, nobody);
}

void TestChatCommands::wire()
{
    QFETCH(WireRow, row);
    Room room;
    if (row.sender == 'M')
        room.promoteAnn();
    const char sender = row.sender == 'M' ? 'A' : row.sender;
    room.fixture.table.setRow(1, row.bobRow);
    QSignalSpy shown(room.fixture.chat.get(), &ChatServer::outputLine);
    room[sender].send(row.chunk + "\r\nMOTD\r\n");
    for (char who : QByteArrayView("ABCU")) {
        Lines expected;
        for (const QByteArray &line : row.wire.split('\n')) {
            const qsizetype space = line.indexOf(' ');
            if (space > 0 && line.left(space).contains(who))
                expected.append(line.mid(space + 1) + "\r\n");
        }
        if (who == sender && row.goesOn)
            expected.append("MOTD\t\r\n");
        QCOMPARE(receivedLines(room[who], expected.size()), expected);
    }
    QCOMPARE(room.fixture.table.row(1), row.bobRowAfter);
    QCOMPARE(room.banFile(), QByteArray());
    QVERIFY(!room.fixture.readWorkingFile("log.txt").contains("S3cret"));
    QVERIFY(shown.size() <= 1);
    QCOMPARE(shown.isEmpty() ? QByteArray() : shown.at(0).at(0).toByteArray(), row.shown);
}

void TestChatCommands::sameNameAtTheSameMomentIsListedOnce()
{
    // A long ban list makes the join yield often, so the second "Name" runs
    // while the first join is still going.
    ChatFixture fixture;
    fixture.writeProgramFile("ban.txt", QByteArray("\"10.0.0.1\"\r\n").repeated(200));
    auto first = fixture.connect(QStringLiteral("127.0.0.2"));
    auto second = fixture.connect(QStringLiteral("127.0.0.3"));
    first->sendLine("Name\tZed");
    second->sendLine("Name\tzed");
    QTest::qWait(400);
    QCOMPARE(int(first->readFor(0) == "DOUBLE\r\n") + int(second->readFor(0) == "DOUBLE\r\n"), 1);
    QCOMPARE(int(fixture.rowOf("Zed") >= 0) + int(fixture.rowOf("zed") >= 0), 1);
}

void TestChatCommands::newUserRecord_data()
{
    QTest::addColumn<QByteArray>("name");

    QTest::newRow("plain name") << QByteArray("rec");
    for (const char *name : {"", ".", "..", "../tarnwick-newuser-escape", "..\\x", "users.mdb",
                             "SysOps.DAT", "ban.txt", "motd.txt", "log.txt", "My Server.TKL"})
        QTest::addRow("\"%s\"", name) << QByteArray(name);
    QTest::newRow("nul") << QByteArray("log.txt\0x", 9);
    QTest::newRow("executable")
        << QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLatin1();
}

// A plain name gets its record (fields 1 to 15, missing ones empty); any
// other name writes nothing and is told in the log view.
void TestChatCommands::newUserRecord()
{
    QFETCH(QByteArray, name);
    ChatFixture fixture;
    QSignalSpy shown(fixture.chat.get(), &ChatServer::outputLine);
    const QDir folder(fixture.config.workingDirectory);
    auto ann = fixture.connect();
    ann->send("NEWUSER\t" + name + "\tf2\tf3\t\t\t\t\t\t\t\t\t\t\t\tf15\textra\r\nNEWUSER\t" +
              name + "\tonly\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*ann, 1), Lines{"MOTD\t\r\n"});

    if (name == "rec") {
        const QByteArray blank = "\r\n";
        const QByteArray records = "rec\r\nf2\r\nf3\r\n" + blank.repeated(11) +
                                   "f15\r\nrec\r\nonly\r\n" + blank.repeated(13);
        QCOMPARE(fixture.readWorkingFile("rec"), records);
        QCOMPARE(shown.size(), 0);
        return;
    }
    const QByteArray text =
        "Refused a NEWUSER record file name: \"" + QByteArray(name).replace('\0', '?') + '"';
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown.at(0).at(0).toByteArray(), text);
    QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("log.txt")});
    QVERIFY(!QFileInfo::exists(folder.filePath("../tarnwick-newuser-escape")));
}

// Another spelling of the name is another file.
void TestChatCommands::onlySysopsDatIsTheSysopList()
{
    Room room;
    QVERIFY(QFile::rename(room.fixture.programFile("sysops.dat"),
                          room.fixture.programFile("Sysops.dat")));
    room['A'].sendLine(Grant);
    QCOMPARE(receivedLines(room['A'], 1), Lines{Denied});
}

void TestChatCommands::ban_data()
{
    QTest::addColumn<QByteArray>("bobRow");
    QTest::addColumn<QByteArray>("bobName");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("banned");
    QTest::addColumn<bool>("logged");

    const QByteArray bob = "Bob";
    const QByteArray emile = "\xC9mile";
    QTest::newRow("case folded") << bob << bob << QByteArray("bOB") << true << true;
    QTest::newRow("Windows-1252 letters")
        << emile << emile << QByteArray("\xE9MILE") << true << true;
    QTest::newRow("moderator needs the mark") << Mark + bob << Mark + bob << bob << false << false;
    QTest::newRow("row matches, slot name differs")
        << bob << QByteArray("Rob") << bob << false << true;
    QTest::newRow("EMPTY rows are nobody's")
        << QByteArray("EMPTY") << bob << QByteArray("empty") << false << false;
}

void TestChatCommands::ban()
{
    QFETCH(QByteArray, bobRow);
    QFETCH(QByteArray, bobName);
    QFETCH(QByteArray, target);
    QFETCH(bool, banned);
    QFETCH(bool, logged);
    Room room;
    room.promoteAnn();
    room.fixture.table.setRow(1, bobRow);
    room.fixture.table.slot(1).name = bobName;
    QSignalSpy shown(room.fixture.chat.get(), &ChatServer::outputLine);
    room['A'].sendLine("BAN\t" + target + "\tno");

    // The text ends with CR LF, so a line holding a TAB follows it.
    const QByteArray text =
        "* " + target + " was banned from Tarnwick by " + Mark + "Ann! Reason: no\r\n";
    const Lines announced{"Message\t" + text, "\t\r\n"};
    if (banned) {
        const Lines removed{"REMOVEUSER\t" + bobName + "\r\n"};
        QCOMPARE(receivedLines(room['B'], 2), Lines{"BANUSER\t" + Mark + "Ann\tno\r\n"} + removed);
        QVERIFY(room['B'].waitForDisconnect());
        QCOMPARE(receivedLines(room['C'], 3), removed + announced);
        QCOMPARE(room.banFile(), QByteArray("\"127.0.0.2\"\r\n"));
        QCOMPARE(room.fixture.table.row(1), ConnectionTable::EmptyRow);
    } else {
        QCOMPARE(receivedLines(room['B'], 2), announced);
        QCOMPARE(receivedLines(room['C'], 2), announced);
        QCOMPARE(room.banFile(), QByteArray());
    }
    const QByteArray event = Mark + "Ann banned " + target + " (127.0.0.2)\r\n";
    QCOMPARE(room.fixture.readWorkingFile("log.txt").contains(event), logged);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.at(0).at(0).toByteArray(), text);
}

void TestChatCommands::banThatCannotBeStoredIsCarriedOut()
{
    Room room;
    room.promoteAnn();
    QVERIFY(QDir(room.fixture.programFolder.path()).mkdir("ban.txt"));
    QSignalSpy shown(room.fixture.chat.get(), &ChatServer::outputLine);
    room['A'].sendLine("BAN\tBob\tspam");
    QCOMPARE(receivedLines(room['B'], 2),
             (Lines{"BANUSER\t" + Mark + "Ann\tspam\r\n", "REMOVEUSER\tBob\r\n"}));
    QVERIFY(room['B'].waitForDisconnect());
    QTRY_COMPARE(shown.size(), 2);
    QVERIFY(shown.at(0).at(0).toByteArray().startsWith("The ban of 127.0.0.2 could not be stored"));
}

void TestChatCommands::kickSparesNewcomerOnTheIndex()
{
    ChatFixture fixture;
    fixture.writeProgramFile("sysops.dat", "\r\nAnn\tann@x.org\tS3cret\r\n");
    auto ann = fixture.join("Ann");
    ann->sendLine(Grant);
    QCOMPARE(receivedLines(*ann, 3).first(), Granted);
    QCOMPARE(fixture.chat->acceptSimulated("10.0.0.2"), 1);
    ClientSocket &socket = fixture.chat->socket(1);
    socket.simulateReceive("Name\tBob\r\n");
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
    ann->send(Grant + "\r\nKICK\tBob\r\n");
    QTRY_COMPARE(newcomer, 1);
    QTest::qWait(50);
    QCOMPARE(bobSaw, "REMOVEUSER\tAnn\r\nADDUSER\t" + Mark + "Ann\r\n");
    QCOMPARE(fixture.table.row(1), QByteArray("Bob"));
    QVERIFY(!socket.takeSimulatedOutput().contains("REMOVEUSER\tBob"));
}

void TestChatCommands::ipBanRefusesTheNextJoin()
{
    Room room;
    room.clients.pop_back(); // U leaves
    QTRY_VERIFY(room.fixture.table.slot(3).free);
    room.promoteAnn();
    // GETIP skips free slots, whose names are empty, and goes on.
    room['A'].send("GETIP\t\r\nIPBAN\t127.0.0.3\r\nIPBAN\r\nIPBAN\t127.0.0.3\r\n");
    QTRY_COMPARE(room.banFile(), QByteArray("\"127.0.0.3\"\r\n\"127.0.0.3\"\r\n"));
    QCOMPARE(receivedLines(room['A'], 0), Lines{});
    // Cat stays until her next join, which is refused after the MOTD.
    room['C'].sendLine("Name\tCatherine");
    QCOMPARE(receivedLines(room['C'], 3),
             (Lines{"MOTD\t\r\n", "banned\r\n", "REMOVEUSER\tCatherine\r\n"}));
    QVERIFY(room['C'].waitForDisconnect());
    QCOMPARE(receivedLines(room['B'], 1), Lines{"REMOVEUSER\tCatherine\r\n"});
}

QTEST_MAIN(TestChatCommands)
#include "tst_chatcommands.moc"
