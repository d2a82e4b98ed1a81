#include "operator/bancommands.h"
#include "operator/servercore.h"
#include "rawclient.h"
#include "testfolders.h"
#include "userrecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <optional>

// The abuse limits as clients meet them: real sockets from several loopback
// addresses against both services of one in-process server, its limits read
// from the settings file.
namespace {

using Clients = std::vector<std::unique_ptr<RawClient>>;

const QByteArray Sysops = "\r\nAnn the mod\tann@x.org\tS3cret\r\n";

struct Server : TestFolders
{
    explicit Server(const QByteArray &settings = {})
    {
        writeProgramFile(QStringLiteral("tarnwick-server.ini"), settings);
        writeProgramFile(QStringLiteral("sysops.dat"), Sysops);
        core = std::make_unique<ServerCore>(config);
        events = std::make_unique<QSignalSpy>(core.get(), &ServerCore::securityEvent);
        if (!core->start().isEmpty())
            qFatal("the server did not start");
    }

    std::unique_ptr<RawClient> join(const QByteArray &name, const QString &from) const
    {
        return RawClient::joined(core->chat().port(), name, from);
    }
    // The security events of one kind so far, from `address` when one is given.
    QList<QByteArray> eventsOf(const QByteArray &event, const QByteArray &address = {}) const
    {
        QList<QByteArray> found;
        for (const QList<QVariant> &args : *events) {
            const QByteArray line = args.constFirst().toByteArray();
            const QByteArray field = " event=" + event;
            const bool from =
                address.isEmpty() ||
                line.startsWith(QByteArray("security[tarnwick]: addr=" + address + ' '));
            if (from && (line.contains(QByteArray(field + ' ')) || line.endsWith(field)))
                found.append(line);
        }
        return found;
    }

    std::unique_ptr<ServerCore> core;
    std::unique_ptr<QSignalSpy> events;
};

// The texts of the relayed public lines until a line that begins with `end`
// (its own text too when it is one of them); nothing when it does not come.
std::optional<QList<QByteArray>> messagesUntil(RawClient &client, const QByteArray &end)
{
    QList<QByteArray> messages;
    for (;;) {
        const QList<QByteArray> lines = client.readLines(1, 5000);
        if (lines.isEmpty())
            return std::nullopt;
        const QByteArray &line = lines.constFirst();
        if (line.startsWith("Message\t"))
            messages.append(line.split('\t').value(2));
        if (line.startsWith(end))
            return messages;
    }
}

} // namespace

class TestAbuseProtection : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void connectionLimits_data();
    void connectionLimits();
    void slotsAreForUsers();
    void floodIsSlowedNotDropped_data();
    void floodIsSlowedNotDropped();
    void passwordGuessingIsDelayed_data();
    void passwordGuessingIsDelayed();
    void registrationsPerAddress();
    void bansAtJoin_data();
    void bansAtJoin();
    void banCommands();
};

// Both services count together; loopback is taken out of the trusted list.
void TestAbuseProtection::connectionLimits_data()
{
    QTest::addColumn<QByteArray>("limits");
    QTest::addColumn<int>("allowed");
    QTest::addColumn<bool>("closeEach");
    QTest::addColumn<QByteArray>("refusedBy");

    QTest::newRow("open at once") << QByteArray(
                                         "connectionsPerAddress=10\nnewConnectionsPerMinute=0\n")
                                  << 10 << false << QByteArray("connectionsPerAddress");
    QTest::newRow("new within a minute")
        << QByteArray("connectionsPerAddress=0\nnewConnectionsPerMinute=20\n") << 20 << true
        << QByteArray("newConnectionsPerMinute");
}

void TestAbuseProtection::connectionLimits()
{
    QFETCH(QByteArray, limits);
    QFETCH(int, allowed);
    QFETCH(bool, closeEach);
    QFETCH(QByteArray, refusedBy);
    Server server("[limits]\ntrustedAddresses=10.9.9.9\n" + limits);
    const QString flooder = QStringLiteral("127.0.0.2");

    Clients kept;
    for (int i = 0; i < allowed; ++i) {
        // Half on each service; the login service answers at once.
        const quint16 port =
            i % 2 || closeEach ? server.core->login().port() : server.core->chat().port();
        auto client = RawClient::connected(port, flooder);
        if (closeEach) {
            // A login request answered shows the connection was accepted.
            client->sendLine("VALIDATE\tBob\tx");
            QCOMPARE(client->readLines(1).size(), 1);
            client->close();
        }
        kept.push_back(std::move(client));
    }
    auto refused = RawClient::connected(server.core->chat().port(), flooder);
    QVERIFY(refused->waitForDisconnect());
    QCOMPARE(refused->drain(), QByteArray());
    QTRY_COMPARE(server.eventsOf("connection-refused").size(), 1);
    QVERIFY(server.eventsOf("connection-refused", "127.0.0.2").value(0).contains(refusedBy));

    auto other = server.join("Zed", QStringLiteral("127.0.0.3"));
    QVERIFY(other->isConnected());
    QCOMPARE(server.core->api().status().users, 1);
}

// Connections that never join, on either service, give their slots back to
// newcomers; a joined user and an answered login client stay.
void TestAbuseProtection::slotsAreForUsers()
{
    Server server("[limits]\njoinSeconds=1\n");
    const quint16 chat = server.core->chat().port();
    const quint16 login = server.core->login().port();
    auto user = server.join("Ann", QStringLiteral("127.0.0.2"));
    auto answered = RawClient::connected(login, QStringLiteral("127.0.0.2"));
    answered->sendLine("VALIDATE\tAnn\tx");
    QCOMPARE(answered->readLines(1).size(), 1);
    Clients silent;
    for (int i = 2; i < ConnectionTable::Size; ++i)
        silent.push_back(RawClient::connected(i % 2 ? chat : login, QStringLiteral("127.0.0.3")));
    for (const auto &client : silent) {
        QVERIFY(client->waitForDisconnect(10000));
        QCOMPARE(client->drain(), QByteArray());
    }
    QCOMPARE(server.eventsOf("join-timeout", "127.0.0.3").size(), int(silent.size()));

    auto newcomer = server.join("Bob", QStringLiteral("127.0.0.4"));
    QCOMPARE(server.core->api().status().users, 2);
    answered->sendLine("VALIDATE\tAnn\tx");
    QCOMPARE(answered->readLines(1).size(), 1);
}

void TestAbuseProtection::floodIsSlowedNotDropped_data()
{
    QTest::addColumn<bool>("moderator");
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<int>("linesPerSecond");
    QTest::newRow("user") << false << QByteArray() << 40;
    QTest::newRow("moderator") << true << QByteArray() << 40;
    QTest::newRow("user closing at once") << false << QByteArray("close") << 40;
    QTest::newRow("user closing, then kicked") << false << QByteArray("close, kick") << 40;
    // 5 at once and 10 a second: 35 lines would take over 3 s, 1 s is allowed.
    QTest::newRow("user closing, time runs out") << false << QByteArray("close, time") << 10;
}

// The flooder's lines beyond the burst wait; another client's line passes
// them, and every one of them still arrives, in order. One who closes right
// after flooding leaves only after the last of them, unless thrown out or it
// would stay longer than allowed.
void TestAbuseProtection::floodIsSlowedNotDropped()
{
    QFETCH(bool, moderator);
    QFETCH(QByteArray, ending);
    QFETCH(int, linesPerSecond);
    Server server("[limits]\nfloodBurst=5\nfloodSecondsAfterClose=1\nfloodLinesPerSecond=" +
                  QByteArray::number(linesPerSecond) + '\n');
    auto observer = server.join("Obs", QStringLiteral("127.0.0.4"));
    auto flooder = server.join("Flo", QStringLiteral("127.0.0.2"));
    auto other = server.join("Oth", QStringLiteral("127.0.0.3"));
    if (moderator) {
        flooder->sendLine("RequestOP\tFlo\tann@x.org\tS3cret");
        QVERIFY(!flooder->readLines(1).isEmpty());
    }
    observer->drain();

    QByteArray flood;
    QList<QByteArray> sent;
    for (int i = 1; i <= 40; ++i) {
        sent.append("line" + QByteArray::number(i));
        flood += "Message\tFlo\t" + sent.constLast() + "\r\n";
    }
    flooder->send(flood);
    if (ending.startsWith("close"))
        flooder->close();
    if (!moderator)
        QTRY_COMPARE(server.eventsOf("flood-slowed").size(), 1);
    if (ending.endsWith("kick")) {
        QVERIFY(server.core->api().kick("Flo", "enough").ok);
        QCOMPARE(server.core->api().status().users, 2);
    }
    other->sendLine("Message\tOth\tquick");

    const QByteArray departure = "Announce\tFlo got bored";
    std::optional<QList<QByteArray>> seen =
        messagesUntil(*observer, ending.isEmpty() ? QByteArray("Message\tFlo\tline40") : departure);
    QVERIFY2(seen, "the flooder's last line or its departure never arrived");
    if (ending.endsWith("time")) {
        seen->removeAll("quick");
        QVERIFY(seen->size() >= 5 && seen->size() < sent.size());
        QCOMPARE(*seen, sent.first(seen->size()));
        const QList<QByteArray> dropped = server.eventsOf("held-lines-dropped", "127.0.0.2");
        QCOMPARE(dropped.size(), 1);
        const QByteArray tail =
            " name=\"Flo\" lines=" + QByteArray::number(sent.size() - seen->size());
        QVERIFY(dropped.constFirst().endsWith(tail));
        return;
    }
    if (ending.endsWith("kick")) {
        QCOMPARE(*seen, sent.first(seen->size()));
        return;
    }
    const bool otherFirst = seen->contains("quick");
    seen->removeAll("quick");
    QCOMPARE(*seen, sent);
    QVERIFY2(moderator || otherFirst, "the second client waited for the flood");
    QCOMPARE(server.eventsOf("flood-slowed").size(), moderator ? 0 : 1);
    QVERIFY(server.eventsOf("held-lines-dropped").isEmpty());
}

void TestAbuseProtection::passwordGuessingIsDelayed_data()
{
    QTest::addColumn<bool>("chat");
    QTest::addColumn<QByteArray>("guess");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("failed");
    QTest::addColumn<QByteArray>("delayed");
    QTest::newRow("login VALIDATE")
        << false << QByteArray("VALIDATE\tBob\tguess") << QByteArray("REJECTED\r\n")
        << QByteArray("login-failed") << QByteArray("login-delayed");
    QTest::newRow("chat RequestOP")
        << true << QByteArray("RequestOP\tBob\tann@x.org\tguess")
        << QByteArray("STATUSTEXT\t255\tModerator Privlidges Denied - You have been logged.\r\n")
        << QByteArray("moderator-refused") << QByteArray("moderator-delayed");
}

// After the allowed failures every answer is held back, the lines after it
// too, and still comes in order.
void TestAbuseProtection::passwordGuessingIsDelayed()
{
    QFETCH(bool, chat);
    QFETCH(QByteArray, guess);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, failed);
    QFETCH(QByteArray, delayed);
    Server server("[limits]\nloginFailuresBeforeDelay=2\n");
    server.core->api().setPasswordsRequired(true);
    const quint16 port = chat ? server.core->chat().port() : server.core->login().port();
    auto guesser = RawClient::connected(port, QStringLiteral("127.0.0.2"));
    for (int i = 0; i < 2; ++i) {
        guesser->sendLine(guess + QByteArray::number(i));
        QCOMPARE(guesser->readLines(1), QList<QByteArray>{answer});
    }
    QVERIFY(server.eventsOf(delayed).isEmpty());
    guesser->send(guess + "2\r\n" + guess + "3\r\n");
    QCOMPARE(guesser->readLines(2, 10000), (QList<QByteArray>{answer, answer}));
    QCOMPARE(server.eventsOf(delayed).size(), 2);
    QCOMPARE(server.eventsOf(failed, "127.0.0.2").size(), 4);
    for (const QByteArray &line : server.eventsOf(failed))
        QVERIFY(!line.contains("guess"));

    // Another address is answered at once.
    auto other = RawClient::connected(port, QStringLiteral("127.0.0.3"));
    other->sendLine(guess);
    QCOMPARE(other->readLines(1), QList<QByteArray>{answer});
    QCOMPARE(server.eventsOf(delayed).size(), 2);
}

void TestAbuseProtection::registrationsPerAddress()
{
    Server server("[limits]\nnewUsersPer10Minutes=1\n");
    server.core->api().setPasswordsRequired(true);
    auto client = RawClient::connected(server.core->login().port(), QStringLiteral("127.0.0.2"));
    client->send(newUserLine("Ann", "ann@x"));
    QCOMPARE(client->readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    client->send(newUserLine("Bob", "bob@x"));
    QCOMPARE(client->readLines(1), QList<QByteArray>{"DECLINE\r\n"});
    QCOMPARE(server.eventsOf("registration-refused").size(), 1);
}

// ban.txt as a moderator, the operator or a hand edit left it.
void TestAbuseProtection::bansAtJoin_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("side");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("banned"); // else the ban has expired and leaves ban.txt
    QTest::newRow("range covers the address")
        << QByteArray("\"127.0.0.0/24\"\r\n") << QByteArray() << "127.0.0.5" << true;
    QTest::newRow("expired ban lets the address back")
        << QByteArray("\"127.0.0.8\"\r\n")
        << QByteArray("127.0.0.8\t2020-01-01T00:00:00Z\t2020-01-02T00:00:00Z\tAnn\tspam\n")
        << "127.0.0.8" << false;
}

void TestAbuseProtection::bansAtJoin()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, side);
    QFETCH(QString, from);
    QFETCH(bool, banned);
    Server server;
    server.writeProgramFile(QStringLiteral("ban.txt"), list);
    if (!side.isEmpty())
        server.writeProgramFile(QStringLiteral("ban-meta.txt"), side);
    auto silent = RawClient::connected(server.core->login().port(), from);
    auto other = RawClient::connected(server.core->chat().port(), from);
    other->sendLine("MOTD");

    auto client = RawClient::connected(server.core->chat().port(), from);
    client->sendLine("Name\tBob");
    // The (empty) MOTD, then the refusal or the join's GETPROFILE.
    QCOMPARE(client->readLines(2).value(1),
             banned ? QByteArray("banned\r\n") : QByteArray("GETPROFILE\tBob\t\r\n"));
    if (banned) {
        QVERIFY(client->waitForDisconnect());
        QCOMPARE(server.eventsOf("banned-join", from.toLatin1()).size(), 1);
        // Banned addresses hold no slot: heard no further, closed at once or soon.
        QVERIFY(other->waitForDisconnect() && silent->waitForDisconnect(10000));
        QCOMPARE(other->drain(), QByteArray());
        QCOMPARE(server.eventsOf("banned-connection").size(), 2);
    }
    QCOMPARE(server.readProgramFile(QStringLiteral("ban.txt")).startsWith("\"127.0.0."), banned);
}

namespace {
// Runs one ban command as the control socket would and returns its answer.
QJsonObject runBanCommand(OperatorApi &api, const QString &command, const QString &argument = {},
                          const QJsonObject &options = {})
{
    ControlCall call(command, argument.isEmpty() ? QStringList() : QStringList{argument}, {},
                     options, nullptr);
    QByteArray answer;
    QObject::connect(&call, &ControlCall::output, &call,
                     [&answer](const QByteArray &line) { answer = line; });
    BanCommands::handler(command, api)(call);
    return QJsonDocument::fromJson(answer).object();
}

QJsonArray listedBans(OperatorApi &api)
{
    return runBanCommand(api, "bans").value("data").toObject().value("bans").toArray();
}
} // namespace

// The operator's ban commands change what joins meet, as the control socket
// and the Bans window use them, and list a moderator's ban too.
void TestAbuseProtection::banCommands()
{
    Server server("[limits]\nmoderatorBanDuration=2h\n");
    OperatorApi &api = server.core->api();
    QCOMPARE(runBanCommand(api, "ban-address", "127.0.1.0/24",
                           {{"for", "2h"}, {"reason", "spam"}})["ok"],
             true);
    const QJsonArray listed = listedBans(api);
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed[0]["target"], "127.0.1.0/24");
    QCOMPARE(listed[0]["reason"], "spam");
    QCOMPARE(listed[0]["setBy"], "console");
    QVERIFY(!listed[0]["expires"].toString().isEmpty());
    QCOMPARE(server.eventsOf("ban").size(), 1);

    auto inside = RawClient::connected(server.core->chat().port(), QStringLiteral("127.0.1.7"));
    inside->sendLine("Name\tBob");
    QVERIFY(inside->readLines(2).contains("banned\r\n"));

    for (const auto &[command, argument, option] :
         {std::tuple{"ban-address", "no.such.address", QJsonObject()},
          std::tuple{"ban-address", "127.0.0.5", QJsonObject{{"for", "5x"}}},
          std::tuple{"unban", "127.0.0.5", QJsonObject()},
          std::tuple{"ban", "Nobody", QJsonObject()}})
        QCOMPARE(runBanCommand(api, command, argument, option)["ok"], false);

    QCOMPARE(runBanCommand(api, "unban", "127.0.1.0/24")["ok"], true);
    QVERIFY(listedBans(api).isEmpty());
    auto back = server.join("Bob", QStringLiteral("127.0.1.7"));
    QCOMPARE(api.status().users, 1);

    // With a duration set, a moderator's ban expires.
    auto moderator = server.join("Ann", QStringLiteral("127.0.0.2"));
    moderator->sendLine("RequestOP\tAnn\tann@x.org\tS3cret");
    QVERIFY(!moderator->readLines(1).isEmpty());
    moderator->sendLine("IPBAN\t127.0.0.66");
    QTRY_COMPARE(server.eventsOf("ban").size(), 2);
    QVERIFY(server.eventsOf("ban").constLast().contains("Ann\""));
    const QJsonArray byModerator = listedBans(api);
    QVERIFY(byModerator.size() == 1 && byModerator[0]["target"] == "127.0.0.66" &&
            !byModerator[0]["expires"].toString().isEmpty());
}

QTEST_GUILESS_MAIN(TestAbuseProtection)
#include "tst_abuseprotection.moc"
