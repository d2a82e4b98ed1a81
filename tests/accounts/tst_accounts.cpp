#include "chatfixture.h"

#include "accounts/loginserver.h"
#include "core/passwordhash.h"
#include "platform/listener.h"
#include "userrecords.h"

#include <QSignalSpy>
#include <QTest>

// The users store and the login service, as a client reaches them.
namespace {

// A login service on an ephemeral port beside a chat service, both on one
// table, with a temporary program folder and working directory.
struct LoginFixture : ChatFixture
{
    LoginFixture() : ChatFixture(false)
    {
        if (!login.listen())
            qFatal("login service did not listen");
    }
    std::unique_ptr<RawClient> client(quint16 port = 0)
    {
        return RawClient::connected(port ? port : login.port());
    }
    QString storePath() const { return programFile(QStringLiteral("users.mdb")); }

    LoginServer login{table, config};
};

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void requests_data();
    void requests();
    void aReplacedStoreIsUsedFromTheNextRequest();
    void fiftyConnectionsAcrossBothServices();
};

// Chunks ("|" between them) over five stored accounts, and the replies in
// order. Each ACCEPT stores one account.
void TestAccounts::requests_data()
{
    QTest::addColumn<bool>("required");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("replies");

    QTest::newRow("no passwords: NOPROB ends the chunk")
        << false << QByteArray(newUserLine("ann") + "VALIDATE\ta\tb\r\n")
        << QByteArray("NOPROB\t" + LoginServer::NoPasswordsText + "\r\n");
    QTest::newRow("credentials are exact; REJECTED goes on, PASS ends the chunk")
        << true
        << QByteArray("VALIDATE\tBOB\tSecret\r\nVALIDATE\tbob\tsecret\r\n"
                      "VALIDATE\tbob \tSecret\r\nVALIDATE\tdup\ttwo\r\n" +
                      newUserLine("ann"))
        << QByteArray("REJECTED\r\nREJECTED\r\nREJECTED\r\nPASS\r\n");
    QTest::newRow("a line cut across chunks")
        << true << QByteArray("VALIDATE\tbob\tSec|ret\r|\nVALIDATE\tbob\tx")
        << QByteArray("PASS\r\n");
    QTest::newRow("ACCEPT goes on")
        << true << QByteArray(newUserLine("ann") + "VALIDATE\tann\tpw\r\n")
        << QByteArray("ACCEPT\r\nPASS\r\n");
    QTest::newRow("a trailing blank or a wildcard makes a new name")
        << true << QByteArray(newUserLine("bob ") + newUserLine("b_b", "%"))
        << QByteArray("ACCEPT\r\nACCEPT\r\n");
    QTest::newRow("name taken in other case; DECLINE ends the chunk")
        << true << QByteArray(newUserLine("BOB") + "VALIDATE\tbob\tSecret\r\n")
        << QByteArray("DECLINE\r\n");
    QTest::newRow("empty e-mail against a stored empty one")
        << true << newUserLine("ann", "") << QByteArray("DECLINE\r\n");
    QTest::newRow("short lines and unknown keywords get no reply")
        << true
        << QByteArray("VALIDATE\tbob\r\n" + QByteArray("NEWUSER" + QByteArray(14, '\t')) +
                      "\r\n\r\nvalidate\tbob\tSecret\r\nVALIDATE\tbob\tSecret\r\n")
        << QByteArray("PASS\r\n");
}

void TestAccounts::requests()
{
    QFETCH(bool, required);
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, replies);
    LoginFixture f;
    QVERIFY(
        addUsers(f.storePath(),
                 {userRecord("bob", "Secret", "Bob@Example.org"), userRecord("dup", "one", "1@x"),
                  userRecord("dup", "two", "2@x"), userRecord("\xE9va"), userRecord("eve")}));
    f.login.setPasswordsRequired(required);
    auto client = f.client();
    for (const QByteArray &part : chunk.split('|')) {
        client->send(part);
        QTest::qWait(30);
    }
    QCOMPARE(client->readLines(replies.count("\r\n")).join(), replies);
    QCOMPARE(client->drain(60), QByteArray());
    QCOMPARE(UsersDatabase::open(f.storePath(), nullptr)->count(), 5 + replies.count("ACCEPT"));
    // The receive path opens log.txt but writes no password there.
    QCOMPARE(QFileInfo(f.workingFile(QStringLiteral("log.txt"))).size(), 0);
}

void TestAccounts::aReplacedStoreIsUsedFromTheNextRequest()
{
    LoginFixture f;
    QVERIFY(addUsers(f.storePath(), {userRecord("bob")}));
    f.login.setPasswordsRequired(true);
    auto client = f.client();
    client->sendLine("VALIDATE\tbob\tpw");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"PASS\r\n"});

    // The operator puts another file in its place.
    const QString other = f.workingFile(QStringLiteral("other.mdb"));
    QVERIFY(addUsers(other, {userRecord("carol")}));
    QVERIFY(QFile::remove(f.storePath()));
    QVERIFY(QFile::copy(other, f.storePath()));
    client->send("VALIDATE\tbob\tpw\r\nVALIDATE\tcarol\tpw\r\n");
    QCOMPARE(client->readLines(2).join(), QByteArray("REJECTED\r\nPASS\r\n"));

    // And deletes it: the next registration starts a new one, every field in
    // its column.
    QVERIFY(QFile::remove(f.storePath()));
    const QByteArray line = newUserLine("\xE9mile");
    client->send(line);
    QCOMPARE(client->readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    UserRecord expected;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        expected.values[i] = line.chopped(2).split('\t').at(1 + i);
    // A store made by this server takes the password as a hash.
    std::optional<UserRecord> stored = UsersDatabase::open(f.storePath(), nullptr)->current();
    QVERIFY(stored && PasswordHash::matches("pw", (*stored)[UserRecord::Password]));
    (*stored)[UserRecord::Password] = "pw";
    QCOMPARE(stored, expected);
}

void TestAccounts::fiftyConnectionsAcrossBothServices()
{
    LoginFixture f;
    // Not a socket: the accept fails and gives its slot back.
    QSignalSpy notices(&f.login, &LoginServer::operatorNotice);
    Q_EMIT f.login.findChild<Listener *>()->connectionRequest(-7);
    QCOMPARE(notices.size(), 1);

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        clients.push_back(f.client(i % 2 ? f.port() : f.login.port()));
        QTRY_VERIFY(i % 2 ? f.chat->isConnected(i) : f.login.isConnected(i));
    }
    // A 51st connection, to either service, is closed at once.
    for (quint16 port : {f.login.port(), f.port()}) {
        RawClient extra;
        extra.connectTo(port);
        QVERIFY(extra.waitForDisconnect());
    }

    // A login connection leaves: its index serves the chat service next, and
    // the other way round.
    clients[10]->close();
    QTRY_VERIFY(f.table.slot(10).free);
    auto chatClient = f.client(f.port());
    QTRY_VERIFY(f.chat->isConnected(10));
    clients[21]->abort();
    QTRY_VERIFY(f.table.slot(21).free);
    auto loginClient = f.client();
    QTRY_VERIFY(f.login.isConnected(21));
}

QTEST_MAIN(TestAccounts)
#include "tst_accounts.moc"
