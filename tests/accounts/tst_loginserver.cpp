#include "accountstesting.h"
#include "rawclient.h"

#include "accounts/loginserver.h"
#include "core/chatserver.h"
#include "platform/listener.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace AccountsTesting;

namespace {

using Records = QList<UserRecord>;

const QByteArray NoProb = "NOPROB\t" + LoginServer::NoPasswordsText + "\r\n";

// "NEWUSER" with fifteen fields: the name and e-mail given, the others
// derived from the name so every column is told apart.
QByteArray newUserLine(const QByteArray &name, const QByteArray &password, const QByteArray &email)
{
    QList<QByteArray> fields{"NEWUSER"};
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        fields.append(name + "-" + QByteArray::number(i));
    fields[1 + UserRecord::UserName] = name;
    fields[1 + UserRecord::Password] = password;
    fields[1 + UserRecord::Email] = email;
    return fields.join('\t') + "\r\n";
}

// A login service on an ephemeral port over its own table, with a temporary
// program folder and working directory.
struct LoginFixture
{
    LoginFixture()
    {
        config.programFolder = programFolder.path();
        config.workingDirectory = workingDirectory.path();
        config.chatPort = 0;
        config.loginPort = 0;
        login = std::make_unique<LoginServer>(table, config);
        QString error;
        if (!login->listen(&error))
            qFatal("login service did not listen: %s", qPrintable(error));
    }

    std::unique_ptr<RawClient> connect(quint16 port = 0)
    {
        auto client = std::make_unique<RawClient>();
        if (!client->connectTo(port ? port : login->port()))
            qWarning("could not connect");
        return client;
    }
    QString storePath() const { return config.programFile(QStringLiteral("users.mdb")); }
    qint64 storedCount() const
    {
        auto store = UsersDatabase::open(storePath(), nullptr);
        return store ? store->count().value_or(-1) : -1;
    }

    QTemporaryDir programFolder;
    QTemporaryDir workingDirectory;
    ServerConfig config;
    ConnectionTable table;
    std::unique_ptr<LoginServer> login;
};

} // namespace

class TestLoginServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void withoutPasswordsNothingIsStored_data();
    void withoutPasswordsNothingIsStored();
    void requests_data();
    void requests();
    void registrationStoresAllFifteenFieldsAndCounts();
    void requirePasswordsIsReadForEveryRequest();
    void lineCutAcrossChunksIsAnsweredOnceComplete();
    void receiveOpensTheLogButWritesNothing();
    void brokenStoreDeclinesRejectsAndIsReportedOnce_data();
    void brokenStoreDeclinesRejectsAndIsReportedOnce();
    void unwritableStoreDeclinesButStillValidates();
    void aReplacedStoreIsUsedFromTheNextRequest();
    void closeOrErrorFreesTheEntry_data();
    void closeOrErrorFreesTheEntry();
    void fiftyConnectionsAcrossBothServices();
    void failedAcceptGivesTheSlotBack();
};

void TestLoginServer::withoutPasswordsNothingIsStored_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("replies");
    QTest::newRow("NEWUSER") << newUserLine("bob", "pw", "b@x") << NoProb;
    QTest::newRow("NEWUSER of empty fields")
        << QByteArray("NEWUSER" + QByteArray(15, '\t') + "\r\n") << NoProb;
    QTest::newRow("VALIDATE of empty name and password")
        << QByteArray("VALIDATE\t\t\r\n") << QByteArray("PASS\r\n");
    QTest::newRow("NOPROB ends the chunk")
        << QByteArray(newUserLine("bob", "pw", "b@x") + "VALIDATE\ta\tb\r\n") << NoProb;
    QTest::newRow("PASS ends the chunk")
        << QByteArray("VALIDATE\ta\tb\r\n" + newUserLine("bob", "pw", "b@x"))
        << QByteArray("PASS\r\n");
}

void TestLoginServer::withoutPasswordsNothingIsStored()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, replies);
    LoginFixture f;
    QVERIFY(!f.login->passwordsRequired());
    auto client = f.connect();
    client->send(chunk);
    QCOMPARE(client->readLines(1).join(), replies);
    QCOMPARE(client->readFor(60), QByteArray());
    QVERIFY(!QFile::exists(f.storePath()));
}

// With "Require Passwords": the stored accounts, one chunk, the replies in
// order, and how many accounts there are afterwards.
void TestLoginServer::requests_data()
{
    QTest::addColumn<Records>("stored");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<int>("countAfter");

    const Records bob{record("bob", "Secret", "Bob@Example.org")};
    QTest::newRow("VALIDATE on an empty table")
        << Records() << QByteArray("VALIDATE\tbob\tSecret\r\n") << QByteArray("REJECTED\r\n") << 0;
    QTest::newRow("NEWUSER on an empty table")
        << Records() << newUserLine("bob", "pw", "b@x") << QByteArray("ACCEPT\r\n") << 1;
    QTest::newRow("VALIDATE exact")
        << bob << QByteArray("VALIDATE\tbob\tSecret\r\n") << QByteArray("PASS\r\n") << 1;
    QTest::newRow("VALIDATE name in other case")
        << bob << QByteArray("VALIDATE\tBOB\tSecret\r\n") << QByteArray("REJECTED\r\n") << 1;
    QTest::newRow("VALIDATE password in other case")
        << bob << QByteArray("VALIDATE\tbob\tsecret\r\n") << QByteArray("REJECTED\r\n") << 1;
    QTest::newRow("VALIDATE trailing blank")
        << bob << QByteArray("VALIDATE\tbob \tSecret\r\n") << QByteArray("REJECTED\r\n") << 1;
    QTest::newRow("VALIDATE against the second of two records of one name")
        << Records{record("dup", "one", "1@x"), record("dup", "two", "2@x")}
        << QByteArray("VALIDATE\tdup\ttwo\r\n") << QByteArray("PASS\r\n") << 2;
    QTest::newRow("VALIDATE accented name in other case")
        << Records{record("\xE9va", "pw")} << QByteArray("VALIDATE\t\xC9va\tpw\r\n")
        << QByteArray("REJECTED\r\n") << 1;
    QTest::newRow("NEWUSER accented name taken in other case")
        << Records{record("\xE9va", "pw")} << newUserLine("\xC9VA", "pw", "new@x")
        << QByteArray("DECLINE\r\n") << 1;
    QTest::newRow("VALIDATE extra fields are ignored")
        << bob << QByteArray("VALIDATE\tbob\tSecret\textra\r\n") << QByteArray("PASS\r\n") << 1;
    QTest::newRow("NEWUSER name taken in other case")
        << bob << newUserLine("BOB", "pw", "new@x") << QByteArray("DECLINE\r\n") << 1;
    QTest::newRow("NEWUSER e-mail taken in other case")
        << bob << newUserLine("carol", "pw", "bob@EXAMPLE.ORG") << QByteArray("DECLINE\r\n") << 1;
    QTest::newRow("NEWUSER empty e-mail against a stored empty one")
        << Records{record("eve", "pw", "")} << newUserLine("carol", "pw", "")
        << QByteArray("DECLINE\r\n") << 1;
    QTest::newRow("NEWUSER name with a trailing blank is new")
        << bob << newUserLine("bob ", "pw", "new@x") << QByteArray("ACCEPT\r\n") << 2;
    QTest::newRow("ACCEPT lets the next line run")
        << Records() << QByteArray(newUserLine("bob", "pw", "b@x") + "VALIDATE\tbob\tpw\r\n")
        << QByteArray("ACCEPT\r\nPASS\r\n") << 1;
    QTest::newRow("ACCEPT then a wrong password")
        << Records() << QByteArray(newUserLine("bob", "pw", "b@x") + "VALIDATE\tbob\tPW\r\n")
        << QByteArray("ACCEPT\r\nREJECTED\r\n") << 1;
    QTest::newRow("REJECTED lets the next line run")
        << bob << QByteArray("VALIDATE\tbob\tx\r\nVALIDATE\tbob\tSecret\r\n")
        << QByteArray("REJECTED\r\nPASS\r\n") << 1;
    QTest::newRow("PASS ends the chunk")
        << bob << QByteArray("VALIDATE\tbob\tSecret\r\n" + newUserLine("carol", "pw", "c@x"))
        << QByteArray("PASS\r\n") << 1;
    QTest::newRow("DECLINE ends the chunk")
        << bob << QByteArray(newUserLine("bob", "pw", "x@x") + "VALIDATE\tbob\tSecret\r\n")
        << QByteArray("DECLINE\r\n") << 1;
    QTest::newRow("two registrations in one chunk")
        << Records() << QByteArray(newUserLine("a", "1", "a@x") + newUserLine("b", "2", "b@x"))
        << QByteArray("ACCEPT\r\nACCEPT\r\n") << 2;
    QTest::newRow("short lines get no reply")
        << bob
        << QByteArray("VALIDATE\tbob\r\nVALIDATE\r\n" +
                      QByteArray("NEWUSER" + QByteArray(14, '\t')) +
                      "\r\n\r\nVALIDATE\tbob\tSecret\r\n")
        << QByteArray("PASS\r\n") << 1;
    QTest::newRow("keywords are exact")
        << bob << QByteArray("validate\tbob\tSecret\r\nMessage\tx\t\r\nVALIDATE\tbob\tx\r\n")
        << QByteArray("REJECTED\r\n") << 1;
}

void TestLoginServer::requests()
{
    QFETCH(Records, stored);
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, replies);
    QFETCH(int, countAfter);
    LoginFixture f;
    QVERIFY(addAll(f.storePath(), stored));
    f.login->setPasswordsRequired(true);
    auto client = f.connect();
    client->send(chunk);
    QCOMPARE(client->readLines(replies.count("\r\n")).join(), replies);
    QCOMPARE(client->readFor(60), QByteArray()); // and nothing after them
    QCOMPARE(f.storedCount(), countAfter);
    // Another connection sees the same accounts.
    auto other = f.connect();
    other->sendLine("VALIDATE\tbob\tSecret");
    const bool bobStored = !stored.isEmpty() && stored.first()[UserRecord::UserName] == "bob";
    QCOMPARE(other->readLines(1), QList<QByteArray>{bobStored ? "PASS\r\n" : "REJECTED\r\n"});
}

void TestLoginServer::registrationStoresAllFifteenFieldsAndCounts()
{
    LoginFixture f;
    f.login->setPasswordsRequired(true);
    QSignalSpy counted(f.login.get(), &LoginServer::registeredUsersCounted);
    auto client = f.connect();
    const QByteArray line = newUserLine("\xE9mile", "p\xE2ss", "e@x");
    client->send(line);
    QCOMPARE(client->readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    QCOMPARE(counted.size(), 1);
    QCOMPARE(counted.at(0).at(0).toByteArray(), QByteArray("Tarnwick has 1 registered user."));

    UserRecord expected;
    const QList<QByteArray> fields = line.chopped(2).split('\t');
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        expected.values[i] = fields[1 + i];
    auto store = UsersDatabase::open(f.storePath(), nullptr);
    QCOMPARE(store->current(), expected);

    client->send(newUserLine("second", "pw", "s@x"));
    QCOMPARE(client->readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    QCOMPARE(counted.size(), 2);
    QCOMPARE(counted.at(1).at(0).toByteArray(), QByteArray("Tarnwick has 2 registered users."));
}

void TestLoginServer::requirePasswordsIsReadForEveryRequest()
{
    LoginFixture f;
    auto client = f.connect();
    client->sendLine("VALIDATE\tnobody\tx");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"PASS\r\n"});
    f.login->setPasswordsRequired(true);
    client->sendLine("VALIDATE\tnobody\tx");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"REJECTED\r\n"});
    f.login->setPasswordsRequired(false);
    client->send(newUserLine("bob", "pw", "b@x"));
    QCOMPARE(client->readLines(1), QList<QByteArray>{NoProb});
    QCOMPARE(f.storedCount(), 0);
}

void TestLoginServer::lineCutAcrossChunksIsAnsweredOnceComplete()
{
    LoginFixture f;
    f.login->setPasswordsRequired(true);
    QVERIFY(addAll(f.storePath(), {record("bob", "pw")}));
    auto client = f.connect();
    client->send("VALIDATE\tbo");
    QCOMPARE(client->readFor(100), QByteArray());
    client->send("b\tpw\r");
    QCOMPARE(client->readFor(100), QByteArray());
    client->send("\nVALIDATE\tbob\tx");
    QCOMPARE(client->readFor(150), QByteArray("PASS\r\n"));
}

void TestLoginServer::receiveOpensTheLogButWritesNothing()
{
    LoginFixture f;
    const QString log = f.config.workingFile(QStringLiteral("log.txt"));
    auto client = f.connect();
    QVERIFY(!QFile::exists(log));
    client->sendLine("VALIDATE\tbob\tpw");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"PASS\r\n"});
    QVERIFY(QFile::exists(log));
    QCOMPARE(QFileInfo(log).size(), 0);
}

void TestLoginServer::brokenStoreDeclinesRejectsAndIsReportedOnce_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("folder");
    QTest::newRow("another engine's file") << foreignDatabaseBytes() << false;
    QTest::newRow("a folder of that name") << QByteArray() << true;
}

void TestLoginServer::brokenStoreDeclinesRejectsAndIsReportedOnce()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, folder);
    LoginFixture f;
    if (folder)
        QVERIFY(QDir(f.config.programFolder).mkdir(QStringLiteral("users.mdb")));
    else
        writeFile(f.storePath(), content);
    f.login->setPasswordsRequired(true);
    QSignalSpy problems(f.login.get(), &LoginServer::storeProblem);
    QSignalSpy counted(f.login.get(), &LoginServer::registeredUsersCounted);
    auto client = f.connect();
    client->send(newUserLine("bob", "pw", "b@x") + "VALIDATE\tbob\tpw\r\n");
    QCOMPARE(client->readFor(150), QByteArray("DECLINE\r\n"));
    client->send("VALIDATE\tbob\tpw\r\nVALIDATE\tbob\tpw\r\n");
    QCOMPARE(client->readFor(150), QByteArray("REJECTED\r\nREJECTED\r\n"));
    client->send(newUserLine("bob", "pw", "b@x"));
    QCOMPARE(client->readFor(150), QByteArray("DECLINE\r\n"));
    QCOMPARE(problems.size(), 1);
    QVERIFY2(problems.at(0).at(0).toString().contains(f.storePath()),
             qPrintable(problems.at(0).at(0).toString()));
    QCOMPARE(counted.size(), 0);
    if (!folder)
        QCOMPARE(fileBytes(f.storePath()), content);
}

void TestLoginServer::unwritableStoreDeclinesButStillValidates()
{
    LoginFixture f;
    QVERIFY(addAll(f.storePath(), {record("bob", "pw")}));
    QVERIFY(makeUnwritable(f.storePath()));
    f.login->setPasswordsRequired(true);
    QSignalSpy problems(f.login.get(), &LoginServer::storeProblem);
    auto client = f.connect();
    client->send(newUserLine("carol", "pw", "c@x") + "VALIDATE\tbob\tpw\r\n");
    QCOMPARE(client->readFor(150), QByteArray("DECLINE\r\n"));
    client->send("VALIDATE\tbob\tpw\r\n" + newUserLine("carol", "pw", "c@x"));
    QCOMPARE(client->readFor(150), QByteArray("PASS\r\n"));
    client->send(newUserLine("carol", "pw", "c@x"));
    QCOMPARE(client->readFor(150), QByteArray("DECLINE\r\n"));
    QCOMPARE(problems.size(), 1);
    QVERIFY(problems.at(0).at(0).toString().contains(QLatin1String("cannot be written")));
    QCOMPARE(f.storedCount(), 1);
}

void TestLoginServer::aReplacedStoreIsUsedFromTheNextRequest()
{
    LoginFixture f;
    QVERIFY(addAll(f.storePath(), {record("bob", "pw")}));
    f.login->setPasswordsRequired(true);
    auto client = f.connect();
    client->sendLine("VALIDATE\tbob\tpw");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"PASS\r\n"});

    // The operator puts another file in its place.
    QTemporaryDir elsewhere;
    const QString other = elsewhere.filePath(QStringLiteral("users.mdb"));
    QVERIFY(addAll(other, {record("carol", "pw")}));
    QVERIFY(QFile::remove(f.storePath()));
    QVERIFY(QFile::copy(other, f.storePath()));
    client->sendLine("VALIDATE\tcarol\tpw");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"PASS\r\n"});
    client->sendLine("VALIDATE\tbob\tpw");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"REJECTED\r\n"});

    // And deletes it: the next registration starts a new one.
    QVERIFY(QFile::remove(f.storePath()));
    client->send(newUserLine("dave", "pw", "d@x"));
    QCOMPARE(client->readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    QCOMPARE(f.storedCount(), 1);
}

void TestLoginServer::closeOrErrorFreesTheEntry_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("close") << false;
    QTest::newRow("reset") << true;
}

void TestLoginServer::closeOrErrorFreesTheEntry()
{
    QFETCH(bool, reset);
    LoginFixture f;
    auto first = f.connect();
    auto second = f.connect();
    QVERIFY(waitUntil([&] { return f.login->isConnected(1); }));
    // What a chat join would have left there; the login close clears it too.
    f.table.slot(0).name = "\xA5somebody";
    f.table.slot(0).operatorFlag = true;
    if (reset)
        first->abort();
    else
        first->close();
    QVERIFY(waitUntil([&] { return f.table.slot(0).free; }));
    QCOMPARE(f.table.slot(0).name, QByteArray());
    QVERIFY(!f.table.slot(0).operatorFlag);
    QVERIFY(!f.table.slot(1).free);
    // The next connection takes the lowest free index again.
    auto third = f.connect();
    QVERIFY(waitUntil([&] { return f.login->isConnected(0); }));
}

void TestLoginServer::fiftyConnectionsAcrossBothServices()
{
    LoginFixture f;
    ChatServer chat(f.table, f.config);
    QVERIFY(chat.listen());
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < ConnectionTable::Size; ++i)
        clients.push_back(f.connect(i % 2 ? chat.port() : f.login->port()));
    QVERIFY(waitUntil([&] {
        for (int i = 0; i < ConnectionTable::Size; ++i) {
            if (f.table.slot(i).free)
                return false;
        }
        return true;
    }));
    for (int i = 0; i < ConnectionTable::Size; ++i)
        QCOMPARE(i % 2 ? chat.isConnected(i) : f.login->isConnected(i), true);

    // A 51st connection, to either service, is closed at once.
    for (quint16 port : {f.login->port(), chat.port()}) {
        RawClient extra;
        extra.connectTo(port);
        QVERIFY(extra.waitForDisconnect());
    }

    // A login connection leaves: its index serves the chat service next.
    clients[10]->close();
    QVERIFY(waitUntil([&] { return f.table.slot(10).free; }));
    auto chatClient = f.connect(chat.port());
    QVERIFY(waitUntil([&] { return chat.isConnected(10); }));
    // A chat connection leaves: its index serves the login service next.
    clients[21]->close();
    QVERIFY(waitUntil([&] { return f.table.slot(21).free; }));
    auto loginClient = f.connect();
    QVERIFY(waitUntil([&] { return f.login->isConnected(21); }));
    loginClient->sendLine("VALIDATE\ta\tb");
    QCOMPARE(loginClient->readLines(1), QList<QByteArray>{"PASS\r\n"});
}

void TestLoginServer::failedAcceptGivesTheSlotBack()
{
    LoginFixture f;
    QSignalSpy notices(f.login.get(), &LoginServer::operatorNotice);
    auto *listener = f.login->findChild<Listener *>();
    QVERIFY(listener);
    Q_EMIT listener->connectionRequest(-7); // not a socket: the accept fails
    QCOMPARE(notices.size(), 1);
    QVERIFY(notices.at(0).at(0).toString().endsWith(QLatin1String("Listening for connection ")));
    QVERIFY(f.table.slot(0).free);
    auto client = f.connect();
    QVERIFY(waitUntil([&] { return f.login->isConnected(0); }));
}

QTEST_GUILESS_MAIN(TestLoginServer)
#include "tst_loginserver.moc"
