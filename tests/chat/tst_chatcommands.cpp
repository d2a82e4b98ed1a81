#include "chatfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <optional>

using Lines = QList<QByteArray>;

namespace {
const QByteArray Mark = "\xA5";
const QByteArray Grant = "RequestOP\tAnn\tann@x.org\tS3cret";
const QByteArray Granted =
    "STATUSTEXT\t16711680\tModerator Privlidges Granted - You are now a moderator.";
const QByteArray Denied = "STATUSTEXT\t255\tModerator Privlidges Denied - You have been logged.";
const QByteArray PermissionDenied = "STATUSTEXT\t255\tPermission Denied";
const QByteArray VersionWarning =
    "PM\tSERVER: \tIncorrect Version, you should be using version 5.0. Please Download the "
    "latest version from the tarnwick website or file mirror.";

// Ann (127.0.0.1, index 0), Bob (127.0.0.2, index 1) and Cat (127.0.0.3,
// index 2) have joined; the newcomer (127.0.0.1, index 3) is connected but has
// not. The sysop list names Ann's e-mail and password.
enum class Client
{
    Ann,
    Bob,
    Cat,
    Newcomer
};
using Clients = QList<Client>;
constexpr std::array AllClients{Client::Ann, Client::Bob, Client::Cat, Client::Newcomer};
const Clients Everyone{AllClients.begin(), AllClients.end()};

Clients everyoneBut(Client left)
{
    Clients result = Everyone;
    result.removeAll(left);
    return result;
}

// The lines of what a client was sent, each with its CR LF.
Lines linesOf(const QByteArray &bytes)
{
    Lines lines;
    qsizetype start = 0;
    for (qsizetype end = bytes.indexOf("\r\n"); end >= 0; end = bytes.indexOf("\r\n", start)) {
        lines.append(bytes.mid(start, end + 2 - start));
        start = end + 2;
    }
    if (start < bytes.size())
        lines.append(bytes.mid(start)); // an unfinished line fails any comparison
    return lines;
}

struct Room
{
    ChatFixture fixture;
    std::array<QSharedPointer<SimulatedTransport>, AllClients.size()> clients;

    Room()
    {
        fixture.writeProgramFile("sysops.dat", "\r\nAnn the mod\tann@x.org\tS3cret\r\n");
        join(Client::Ann, "Ann", "127.0.0.1");
        join(Client::Bob, "Bob", "127.0.0.2");
        join(Client::Cat, "Cat", "127.0.0.3");
        clients[int(Client::Newcomer)] = fixture.connectSimulated("127.0.0.1");
        forgetSent();
    }
    void join(Client who, const QByteArray &name, const QByteArray &address)
    {
        clients[int(who)] = fixture.connectSimulated(address);
        clients[int(who)]->receive("Name\t" + name + "\r\n");
    }
    SimulatedTransport &operator[](Client who) { return *clients[int(who)]; }
    void forgetSent()
    {
        for (const auto &client : clients)
            client->takeSent();
    }
    Lines sentTo(Client who) { return linesOf((*this)[who].takeSent()); }
    void promoteAnn()
    {
        (*this)[Client::Ann].receive(Grant + "\r\n");
        forgetSent();
    }
    QByteArray banFile() const { return fixture.readProgramFile("ban.txt"); }
};

// One chunk sent in a fresh room, and what it does: the lines each client is
// sent, in order; whether the "MOTD" line sent behind the chunk is answered;
// Bob's row after it; the console log view's line; what ban.txt then holds.
struct WireCase
{
    struct Delivery
    {
        Clients to;
        QByteArray line; // without CR LF
    };

    Client sender = Client::Ann;
    bool byModerator = false;
    QByteArray bobRow = "Bob";
    QByteArray chunk;
    QList<Delivery> deliveries{};
    bool endsTheChunk = false;
    std::optional<QByteArray> bobRowAfter{};
    QByteArray shown{};
    QByteArray bansAfter{}; // ban.txt

    WireCase &withBobListedAs(const QByteArray &row) { return bobRow = row, *this; }
    WireCase &sends(const Clients &to, const QByteArray &line)
    {
        deliveries.append({to, line});
        return *this;
    }
    // Everyone is told that the row `from` became `to`.
    WireCase &announcesChange(const QByteArray &from, const QByteArray &to)
    {
        return sends(Everyone, "REMOVEUSER\t" + from).sends(Everyone, "ADDUSER\t" + to);
    }
    // The newcomer's join as `name` (an empty MOTD): it learns the listed rows
    // and everyone learns it.
    WireCase &welcomes(const QByteArray &name, const QByteArrayList &listed)
    {
        sends({Client::Newcomer}, "MOTD\t").sends({Client::Newcomer}, "GETPROFILE\t" + name + '\t');
        for (const QByteArray &row : listed)
            sends({Client::Newcomer}, "ADDUSER\t" + row);
        return sends(Everyone, "ADDUSER\t" + name);
    }
    WireCase &endsChunk() { return endsTheChunk = true, *this; }
    WireCase &leavesBobListedAs(const QByteArray &row) { return bobRowAfter = row, *this; }
    WireCase &shows(const QByteArray &text) { return shown = text, *this; }
    WireCase &storesBans(const QByteArray &bans) { return bansAfter = bans, *this; }

    Lines expectedFor(Client who) const
    {
        Lines lines;
        for (const Delivery &delivery : deliveries) {
            if (delivery.to.contains(who))
                lines.append(delivery.line + "\r\n");
        }
        if (who == sender && !endsTheChunk)
            lines.append("MOTD\t\r\n");
        return lines;
    }
};

WireCase from(Client sender, const QByteArray &chunk)
{
    return {.sender = sender, .chunk = chunk};
}

// Ann, granted moderator rights before the chunk.
WireCase fromModerator(const QByteArray &chunk)
{
    return {.sender = Client::Ann, .byModerator = true, .chunk = chunk};
}

void addRow(const char *name, const WireCase &wireCase)
{
    QTest::newRow(name) << wireCase;
}
} // namespace

Q_DECLARE_METATYPE(WireCase)

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
    void bannedAddressIsRefusedAtItsNextJoin();
    void getIpSkipsFreeEntries();
    void graceEndLeavesTheNextHolderAlone();
};

// Sends the row's chunk, then "MOTD", and compares everything every client was
// sent, line by line.
void TestChatCommands::wire()
{
    QFETCH(WireCase, wire);
    Room room;
    if (wire.byModerator)
        room.promoteAnn();
    room.fixture.table.setRow(1, wire.bobRow);
    QSignalSpy shown(room.fixture.chat.get(), &ChatServer::outputLine);
    room[wire.sender].receive(wire.chunk + "\r\nMOTD\r\n");
    for (const Client who : AllClients)
        QCOMPARE(room.sentTo(who), wire.expectedFor(who));
    QCOMPARE(room.fixture.table.row(1), wire.bobRowAfter.value_or(wire.bobRow));
    QCOMPARE(room.banFile(), wire.bansAfter);
    QVERIFY(!room.fixture.readWorkingFile("log.txt").contains("S3cret"));
    QVERIFY(shown.size() <= 1);
    QCOMPARE(shown.isEmpty() ? QByteArray() : shown.at(0).at(0).toByteArray(), wire.shown);
}

namespace {
void joiningRows()
{
    using enum Client;
    addRow("newcomer learns the listed rows index by index",
           from(Newcomer, "Name\tDan").withBobListedAs("EMPTY").welcomes("Dan", {"Ann", "Cat"}));
    addRow("marked or suffixed rows leave the bare name free",
           from(Newcomer, "Name\tbob")
               .withBobListedAs(Mark + "Bob [AW]")
               .welcomes("bob", {"Ann", Mark + "Bob [AW]", "Cat"}));
    addRow("a prefix is no duplicate",
           from(Newcomer, "Name\tBobby").welcomes("Bobby", {"Ann", "Bob", "Cat"}));
    addRow("duplicate in another case",
           from(Newcomer, "Name\tbOB").sends({Newcomer}, "DOUBLE").endsChunk());
    addRow("duplicate in Windows-1252 letters", from(Newcomer, "Name\t\xE9MILE")
                                                    .withBobListedAs("\xC9mile")
                                                    .sends({Newcomer}, "DOUBLE")
                                                    .endsChunk());
    addRow("the name of a free row is taken",
           from(Newcomer, "Name\tempty").sends({Newcomer}, "DOUBLE").endsChunk());
    addRow(
        "SERVER only announces",
        from(Bob, "SERVER\tZed\r\nSERVER").sends(Everyone, "Announce\tZed has joined Tarnwick!"));
    addRow("wrong client version is warned and ends the chunk",
           from(Ann, "PROFILE\tBOB\tx\t5.01").sends({Bob}, VersionWarning).endsChunk());
    addRow("version 5.0 is not warned", from(Ann, "PROFILE\tbob\tx\t5.0\tmore"));
    addRow("keywords are compared exactly",
           from(Ann, "message\tAnn: \thi\r\nMESSAGE\tAnn: \thi\r\nMOTD \r\n\r\nHELLO"));
}

void roomAndPrivateLinesRows()
{
    using enum Client;
    addRow("public text reaches a row whose [IG] is not last",
           from(Ann, "Message\tAnn: \thi")
               .withBobListedAs("Bob [IG] [AW]")
               .sends(Everyone, "Message\tAnn: \thi\t")
               .shows("Ann: \thi"));
    // A listed name followed by ": " must come from that user's address.
    addRow("a name claimed from its user's address", from(Newcomer, "Message\tAnn: \thi")
                                                         .sends(Everyone, "Message\tAnn: \thi\t")
                                                         .shows("Ann: \thi"));
    addRow("another's name claimed: the rest of the chunk is dropped",
           from(Bob, "Message\tAnn: \thi").endsChunk());
    addRow("another's name claimed in another case", from(Bob, "Message\taNN: \thi").endsChunk());
    addRow("a prefix of a name is no claim",
           from(Bob, "Message\tAn: \thi").sends(Everyone, "Message\tAn: \thi\t").shows("An: \thi"));
    addRow("action ends with an extra line", from(Ann, "ACTION\tAnn hops\r\nACTION")
                                                 .withBobListedAs("Bob [IG]")
                                                 .sends(everyoneBut(Bob), "Message\tAnn hops \t ")
                                                 .sends(everyoneBut(Bob), "\t")
                                                 .shows("Ann hops \t \r\n"));
    addRow("server text from a moderator",
           fromModerator("MSG\thi").sends(Everyone, "Message\tServer: hi\t").shows("Server: hi"));
    addRow("in-game user gets private lines but no sound, which ends the chunk",
           from(Ann, "PM\tbob [ig]\t\tAnn\r\nURL\tBob [IG]\tu\tAnn\r\n"
                     "GAME\t1\tBob [IG]\tg1\tg2\tg3\tg4\tg5\tg6\r\nSOUND\tding")
               .withBobListedAs("Bob [IG]")
               .sends({Bob}, "PM\tAnn\t")
               .sends({Bob}, "URL\tAnn\tu")
               .sends({Bob}, "GAME\tg1\tg2\tg3\tg4\tg5\tg6")
               .sends(everyoneBut(Bob), "PLAYSOUND\tding")
               .endsChunk());
    addRow("sound without its field ends the chunk too", from(Ann, "SOUND").endsChunk());
    addRow("moderator mark is part of the name",
           from(Ann, "PM\tBob\tno\tAnn\r\nPM\t" + Mark + "bob\thi\tAnn")
               .withBobListedAs(Mark + "Bob")
               .sends({Bob}, "PM\tAnn\thi"));
    addRow("suffix is part of the name", from(Ann, "PM\tBob\tno\tAnn\r\nPM\tBOB [aw]\thi\tAnn")
                                             .withBobListedAs("Bob [AW]")
                                             .sends({Bob}, "PM\tAnn\thi"));
    addRow("private line reaches every matching row",
           from(Ann, "PM\tcat\thi\tAnn").withBobListedAs("CAT").sends({Bob, Cat}, "PM\tAnn\thi"));
}

void relaysRows()
{
    using enum Client;
    const QByteArray profile = "2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14";
    addRow("GETPROFILE2", from(Ann, "GETPROFILE2\tbob\tAnn").sends({Bob}, "GETPROFILE2\tAnn\t"));
    addRow("PROFILE2 passes fields 2 to 14",
           from(Ann, "PROFILE2\tBOB\t" + profile + "\tx").sends({Bob}, "PROFILE\t" + profile));
    addRow("PROFILE2 with empty fields", from(Ann, "PROFILE2\tBob" + QByteArray(13, '\t') + "\tx")
                                             .sends({Bob}, "PROFILE" + QByteArray(13, '\t')));
    addRow("PINGUSER", from(Ann, "PINGUSER\tBob\tAnn").sends({Bob}, "PING\tAnn\t"));
    addRow("RETURNPING", from(Ann, "RETURNPING\t1\t2\tbob").sends({Bob}, "THEPING\t1\t2"));
    addRow("START", from(Ann, "START\tBob\tx").sends({Bob}, "START"));
    addRow("DECLINE", from(Ann, "DECLINE\tBob\tAnn").sends({Bob}, "DECLINE\tAnn"));
    addRow("XCEPT", from(Ann, "XCEPT\tBob\tAnn").sends({Bob}, "XCEPT\tAnn\t"));
    addRow("USERIP", from(Ann, "USERIP\tBob\tAnn 1.2.3.4").sends({Bob}, "GETUSERIP\tAnn 1.2.3.4"));
    addRow("OKRETURNIP", from(Ann, "OKRETURNIP\tBob\td").sends({Bob}, "OKUSERIP\td"));
    addRow("GETIPFT", from(Ann, "GETIPFT\tBob\td").sends({Bob}, "GETIPFT\td"));
    addRow("OKUSERFT", from(Ann, "OKUSERFT\tBob\td").sends({Bob}, "RETURNFT\td"));
}

// The count must be digits worth 1 to 5; Bob is named as each invitee.
void gameInvitationsRows()
{
    const QByteArrayList game{"bob", "bob", "bob", "bob", "bob", "bob",
                              "d1",  "d2",  "d3",  "d4",  "d5",  "d6"};
    const QByteArrayList invalid{"0", "6", "two", "-1", "+2", " 2", "2.5", "4294967298", ""};
    for (const QByteArray &count : QByteArrayList{"1", "2", "3", "4", "5", "02"} + invalid) {
        const int invited = invalid.contains(count) ? 0 : count.toInt();
        WireCase invitation = from(Client::Ann, "GAME\t" + count + '\t' + game.join('\t'));
        for (int i = 0; i < invited; ++i)
            invitation.sends({Client::Bob}, "GAME\t" + game.mid(invited, 6).join('\t'));
        addRow(QByteArray("count \"" + count + '"').constData(), invitation);
    }
}

// PM and URL share one relay, and so do the table's relays with the same
// fields: one row for each.
void lineMissingAFieldSendsNothingRows()
{
    const QByteArrayList lines{
        "Message\tAnn: ",
        "PM\tBob\thi",
        "GETPROFILE2\tBob",
        "PROFILE2\tBob\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13",
        "RETURNPING\t1\t2",
        "START",
        "GAME\t1\tBob\tg1\tg2\tg3\tg4\tg5",
        "PROFILE\tbob\tx",
        "INGAME",
        "[CS]",
        "[AW]",
        "RETURN",
        "RETURNCS",
        "IP",
    };
    for (const QByteArray &line : lines)
        addRow(QByteArray(line).replace('\t', ' ').constData(), from(Client::Ann, line));
}

void stateMarksRows()
{
    using enum Client;
    addRow(
        "in game, told as written",
        from(Bob, "INGAME\tbob").announcesChange("bob", "bob [IG]").leavesBobListedAs("Bob [IG]"));
    addRow("suffixes pile up", from(Bob, "[AW]\tBob [IG]")
                                   .withBobListedAs("Bob [IG]")
                                   .announcesChange("Bob [IG]", "Bob [IG] [AW]")
                                   .leavesBobListedAs("Bob [IG] [AW]"));
    addRow("away twice ends the chunk", from(Bob, "[AW]\tBob\r\n[AW]\tBob")
                                            .announcesChange("Bob", "Bob [AW]")
                                            .endsChunk()
                                            .leavesBobListedAs("Bob [AW]"));
    addRow("return restores the name as written", from(Bob, "RETURN\tbob")
                                                      .withBobListedAs("Bob [IG]")
                                                      .announcesChange("bob [IG]", "bob")
                                                      .leavesBobListedAs("bob"));
    addRow("return from away after piling up", from(Bob, "RETURNCS\tBob [IG]")
                                                   .withBobListedAs("Bob [IG] [AW]")
                                                   .announcesChange("Bob [IG] [AW]", "Bob [IG]")
                                                   .leavesBobListedAs("Bob [IG]"));
    addRow("return when the state is not last", from(Bob, "RETURN\tBob")
                                                    .withBobListedAs("Bob [IG] [AW]")
                                                    .announcesChange("Bob [IG]", "Bob"));
    addRow("return without the moderator mark", from(Bob, "RETURN\tBob")
                                                    .withBobListedAs(Mark + "Bob [IG]")
                                                    .announcesChange("Bob [IG]", "Bob"));
    addRow(
        "free rows are never marked",
        from(Ann, "INGAME\tempty").withBobListedAs("EMPTY").announcesChange("empty", "empty [IG]"));
    addRow("unjoined client changes a row silently",
           from(Newcomer, "INGAME\tBob").leavesBobListedAs("Bob [IG]"));
    addRow("unjoined client's [CS] is told", from(Newcomer, "[CS]\tBob")
                                                 .announcesChange("Bob", "Bob [CS]")
                                                 .leavesBobListedAs("Bob [CS]"));
}

// The sysop list's e-mail and password make a moderator; the others are told
// the name the line gives.
void moderatorRequestRows()
{
    using enum Client;
    addRow("moderator rights granted", from(Bob, "RequestOP\tBob\tann@x.org\tS3cret")
                                           .sends({Bob}, Granted)
                                           .announcesChange("Bob", Mark + "Bob")
                                           .leavesBobListedAs(Mark + "Bob"));
    addRow("a second grant adds a second mark", from(Bob, "RequestOP\tZed\tann@x.org\tS3cret")
                                                    .withBobListedAs(Mark + "Bob")
                                                    .sends({Bob}, Granted)
                                                    .announcesChange("Zed", Mark + "Zed")
                                                    .leavesBobListedAs(Mark + Mark + "Bob"));
    addRow("password compared exactly",
           from(Bob, "RequestOP\tBob\tann@x.org\ts3cret").sends({Bob}, Denied));
    addRow("password field missing", from(Bob, "RequestOP\tBob\tann@x.org").sends({Bob}, Denied));
}

void moderatorCommandsRows()
{
    using enum Client;
    for (const char *line : {"MSG\tx", "GETIP\tCat", "BAN\tCat\tx", "IPBAN\t127.0.0.3"})
        addRow(QByteArray(QByteArray(line).split('\t').first() + " needs the flag").constData(),
               from(Ann, line).sends({Ann}, PermissionDenied));
    addRow("IPBAN stores the address silently",
           fromModerator("IPBAN\t127.0.0.3\r\nIPBAN\r\nIPBAN\t127.0.0.3")
               .storesBans("\"127.0.0.3\"\r\n\"127.0.0.3\"\r\n"));
    addRow("KICK needs the flag and ends the chunk",
           from(Ann, "KICK\tCat\tx").sends({Ann}, PermissionDenied).endsChunk());
    addRow("GETIP ends the chunk only when it finds the name",
           fromModerator("GETIP\r\nGETIP\tbob\r\nGETIP\tAnn\r\nGETIP\tCat\r\nGETIP\tBob")
               .sends({Ann}, "Message\t* Cat's IP: 127.0.0.3\t")
               .endsChunk());
    const QByteArray kicked = "* Bob [AW] was kicked from Tarnwick by " + Mark + "Ann! Reason: x";
    addRow("KICK matches the shown text and ends the chunk",
           fromModerator("KICK\tBob [AW]\tx")
               .withBobListedAs("Bob [AW]")
               .sends(Everyone, "Message\t" + kicked + '\t')
               .sends({Bob}, "Kicked\t" + Mark + "Ann\tx")
               .sends(Everyone, "REMOVEUSER\tBob")
               .endsChunk()
               .leavesBobListedAs("EMPTY")
               .shows(kicked));
    const QByteArray missed = "* Bob was kicked from Tarnwick by " + Mark + "Ann! Reason: x";
    addRow("KICK announces whom it misses", fromModerator("KICK\tBob\tx")
                                                .withBobListedAs("Bob [AW]")
                                                .sends(Everyone, "Message\t" + missed + '\t')
                                                .endsChunk()
                                                .shows(missed));
    const QByteArray nobody = "* EMPTY was kicked from Tarnwick by " + Mark + "Ann! Reason: x";
    addRow("KICK leaves free rows alone", fromModerator("KICK\tEMPTY\tx")
                                              .withBobListedAs("EMPTY")
                                              .sends(Everyone, "Message\t" + nobody + '\t')
                                              .endsChunk()
                                              .shows(nobody));
}

} // namespace

void TestChatCommands::wire_data()
{
    QTest::addColumn<WireCase>("wire");
    joiningRows();
    roomAndPrivateLinesRows();
    relaysRows();
    gameInvitationsRows();
    lineMissingAFieldSendsNothingRows();
    stateMarksRows();
    moderatorRequestRows();
    moderatorCommandsRows();
}

void TestChatCommands::sameNameAtTheSameMomentIsListedOnce()
{
    // Over real sockets, both "Name" lines in one turn (a long ban list to
    // check): the first join is done before the second starts.
    ChatFixture fixture;
    fixture.writeProgramFile("ban.txt", QByteArray("\"10.0.0.1\"\r\n").repeated(200));
    auto first = fixture.connect(QStringLiteral("127.0.0.2"));
    auto second = fixture.connect(QStringLiteral("127.0.0.3"));
    first->sendLine("Name\tZed");
    second->sendLine("Name\tzed");
    QTRY_VERIFY(!first->isConnected() || !second->isConnected());
    QCOMPARE(int(first->drain(0).endsWith("DOUBLE\r\n")) +
                 int(second->drain(0).endsWith("DOUBLE\r\n")),
             1);
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
    auto ann = fixture.connectSimulated();
    ann->receive("NEWUSER\t" + name + "\tf2\tf3\t\t\t\t\t\t\t\t\t\t\t\tf15\textra\r\nNEWUSER\t" +
                 name + "\tonly\r\nMOTD\r\n");
    QCOMPARE(ann->takeSent(), QByteArray("MOTD\t\r\n"));

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
    room[Client::Ann].receive(Grant + "\r\n");
    QCOMPARE(room.sentTo(Client::Ann), Lines{Denied + "\r\n"});
}

void TestChatCommands::ban_data()
{
    QTest::addColumn<QByteArray>("bobRow");
    QTest::addColumn<QByteArray>("bobName");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("banned");
    QTest::addColumn<bool>("logged");
    QTest::addColumn<bool>("storable"); // else a directory stands where ban.txt goes

    const QByteArray bob = "Bob";
    const QByteArray emile = "\xC9mile";
    QTest::newRow("case folded") << bob << bob << QByteArray("bOB") << true << true << true;
    QTest::newRow("Windows-1252 letters")
        << emile << emile << QByteArray("\xE9MILE") << true << true << true;
    QTest::newRow("moderator needs the mark")
        << Mark + bob << Mark + bob << bob << false << false << true;
    QTest::newRow("row matches, entry name differs")
        << bob << QByteArray("Rob") << bob << false << true << true;
    QTest::newRow("free rows are nobody's")
        << QByteArray("EMPTY") << bob << QByteArray("empty") << false << false << true;
    QTest::newRow("ban that cannot be stored is carried out")
        << bob << bob << bob << true << true << false;
}

void TestChatCommands::ban()
{
    QFETCH(QByteArray, bobRow);
    QFETCH(QByteArray, bobName);
    QFETCH(QByteArray, target);
    QFETCH(bool, banned);
    QFETCH(bool, storable);
    Room room;
    room.promoteAnn();
    room.fixture.table.setRow(1, bobRow);
    room.fixture.table.slot(1).name = bobName;
    if (!storable)
        QVERIFY(QDir(room.fixture.programFolder.path()).mkdir("ban.txt"));
    QSignalSpy shown(room.fixture.chat.get(), &ChatServer::outputLine);
    room[Client::Ann].receive("BAN\t" + target + "\tno\r\n");

    // The text ends with CR LF, so a line holding a TAB follows it.
    const QByteArray text =
        "* " + target + " was banned from Tarnwick by " + Mark + "Ann! Reason: no\r\n";
    const Lines announced{"Message\t" + text, "\t\r\n"};
    if (banned) {
        const Lines removed{"REMOVEUSER\t" + bobName + "\r\n"};
        QCOMPARE(room.sentTo(Client::Bob), Lines{"BANUSER\t" + Mark + "Ann\tno\r\n"} + removed);
        QVERIFY(!room[Client::Bob].isConnected());
        QCOMPARE(room.sentTo(Client::Cat), removed + announced);
        QCOMPARE(room.banFile(), storable ? QByteArray("\"127.0.0.2\"\r\n") : QByteArray());
        QCOMPARE(room.fixture.table.row(1), ConnectionTable::EmptyRow);
    } else {
        QCOMPARE(room.sentTo(Client::Bob), announced);
        QCOMPARE(room.sentTo(Client::Cat), announced);
        QCOMPARE(room.banFile(), QByteArray());
    }
    const QByteArray event = Mark + "Ann banned " + target + " (127.0.0.2)\r\n";
    QTEST(room.fixture.readWorkingFile("log.txt").contains(event), "logged");
    QCOMPARE(shown.size(), storable ? 1 : 2);
    if (!storable)
        QVERIFY(
            shown.at(0).at(0).toByteArray().startsWith("The ban of 127.0.0.2 could not be stored"));
    QCOMPARE(shown.constLast().at(0).toByteArray(), text);
}

// The user stays until the next join, which is refused after the MOTD.
void TestChatCommands::bannedAddressIsRefusedAtItsNextJoin()
{
    Room room;
    room.fixture.writeProgramFile("ban.txt", "\"10.0.0.1\"\r\n\"127.0.0.3\"\r\n");
    room[Client::Cat].receive("Name\tCatherine\r\n");
    QCOMPARE(room.sentTo(Client::Cat),
             (Lines{"MOTD\t\r\n", "banned\r\n", "REMOVEUSER\tCatherine\r\n"}));
    QVERIFY(!room[Client::Cat].isConnected());
    QCOMPARE(room.sentTo(Client::Bob), Lines{"REMOVEUSER\tCatherine\r\n"});
}

// Free entries have empty names too, but nobody to look up.
void TestChatCommands::getIpSkipsFreeEntries()
{
    Room room;
    room[Client::Newcomer].peerClose();
    room.promoteAnn(); // and forgets what the close sent
    room[Client::Ann].receive("GETIP\t\r\nMOTD\r\n");
    QCOMPARE(room.sentTo(Client::Ann), Lines{"MOTD\t\r\n"});
}

QTEST_MAIN(TestChatCommands)
// A client the operator kicked or banned that hangs up during its grace frees
// its entry at once; the end of that grace must leave alone whoever holds the
// entry by then.
void TestChatCommands::graceEndLeavesTheNextHolderAlone()
{
    Room room;
    AbuseLimits limits = room.fixture.chat->limits();
    limits.leaveGraceSeconds = 1;
    room.fixture.chat->setProtection(nullptr, limits);
    room.fixture.chat->closeAfterGrace(Sender{1, room.fixture.table.slot(1).connection});
    room[Client::Bob].peerClose();
    const auto dan = room.fixture.connectSimulated("127.0.0.4");
    QCOMPARE(dan->index(), 1);
    dan->receive("Name\tDan\r\n");
    room.forgetSent();
    QTest::qWait(1500); // past the grace
    QVERIFY(room.fixture.chat->isConnected(1));
    QCOMPARE(room.fixture.table.row(1), "Dan");
    QCOMPARE(room.sentTo(Client::Cat), Lines{});
}

#include "tst_chatcommands.moc"
