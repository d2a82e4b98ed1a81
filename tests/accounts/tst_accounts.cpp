#include "chatfixture.h"
#include "scripteddialogs.h"

#include "accounts/loginserver.h"
#include "accounts/usersdatabase.h"
#include "accounts/userswindow.h"
#include "console/accountswiring.h"
#include "console/mainwindow.h"
#include "core/codepage.h"
#include "platform/listener.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>

// The users store, the login service and the users window, each as a client
// or the operator reaches it.
namespace {

UserRecord record(const QByteArray &name, const QByteArray &password = "pw",
                  const QByteArray &email = {}, const QByteArray &first = {})
{
    UserRecord r;
    r[UserRecord::UserName] = name;
    r[UserRecord::Password] = password;
    r[UserRecord::Email] = email;
    r[UserRecord::First] = first;
    return r;
}

// A record whose fifteen fields all differ: "<tag>0" .. "<tag>14".
UserRecord distinctRecord(const QByteArray &tag)
{
    UserRecord r;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        r.values[i] = tag + QByteArray::number(i);
    return r;
}

bool addAll(const QString &path, const QList<UserRecord> &records)
{
    auto store = UsersDatabase::open(path, nullptr);
    for (const UserRecord &r : records) {
        if (!store || !store->addUser(r))
            return false;
    }
    return store != nullptr;
}

// "NEWUSER" with fifteen fields: the name and e-mail given, password "pw",
// the others derived from the name so every column is told apart.
QByteArray newUserLine(const QByteArray &name, const QByteArray &email = "new@x")
{
    QList<QByteArray> fields{"NEWUSER"};
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        fields.append(name + "-" + QByteArray::number(i));
    fields[1 + UserRecord::UserName] = name;
    fields[1 + UserRecord::Password] = "pw";
    fields[1 + UserRecord::Email] = email;
    return fields.join('\t') + "\r\n";
}

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
        auto client = std::make_unique<RawClient>();
        client->connectTo(port ? port : login.port());
        return client;
    }
    QString storePath() const { return programFile(QStringLiteral("users.mdb")); }

    LoginServer login{table, config};
};

// The box of each column, in the order of UserRecord's columns.
const char *const ColumnBoxes[] = {"Text3",  "Text4",  "Text5",  "Text6",  "Text7",
                                   "Text8",  "Text9",  "Text10", "Text2",  "Text11",
                                   "Text12", "Text13", "Text17", "Text14", "Text15"};

QLineEdit *box(const QWidget *window, const char *name)
{
    return window->findChild<QLineEdit *>(QLatin1String(name));
}

void click(const QWidget *window, const char *name)
{
    QTest::mouseClick(window->findChild<QAbstractButton *>(QLatin1String(name)), Qt::LeftButton);
}

// The window over users.mdb in a temporary folder.
struct Window
{
    QString path() const { return dir.filePath(QStringLiteral("users.mdb")); }
    QLineEdit *box(const char *name) const { return ::box(&window, name); }
    void click(const char *name) const { ::click(&window, name); }
    QStringList takeMessages()
    {
        QStringList texts;
        for (const ScriptedDialogs::Shown &shown : dialogs.messages())
            texts.append(shown.text);
        dialogs.shown.clear();
        return texts;
    }

    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    UsersWindow window{path(), dialogs};
};

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void storeHasTextColumnsAndReadsNullAsEmpty();
    void requests_data();
    void requests();
    void aReplacedStoreIsUsedFromTheNextRequest();
    void fiftyConnectionsAcrossBothServices();
    void browsing_data();
    void browsing();
    void boxesShowAndAddEachColumn();
    void brokenStoreShowsABoxInsteadOfARecord();
    void registrationsReachTheWindowTheOperatorOpens();
};

void TestAccounts::storeHasTextColumnsAndReadsNullAsEmpty()
{
    LoginFixture f;
    QVERIFY(QFile(f.storePath()).open(QIODevice::WriteOnly)); // an empty file becomes a store
    QVERIFY(addAll(f.storePath(), {record("bob")}));
    {
        // As another program sees the file, and writes to it: fifteen text
        // columns, "Username" is "UserName", empty text is not NULL.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "other");
        db.setDatabaseName(f.storePath());
        QSqlQuery query(db);
        QVERIFY(db.open() && query.exec("SELECT (SELECT sum(type = 'TEXT') FROM pragma_table_info("
                                        "'Login1')), Username, Email = '' FROM Login1"));
        QVERIFY(query.next() && query.value(0) == 15 && query.value(1) == "bob" &&
                query.value(2) == 1);
        QVERIFY(query.exec("INSERT INTO Login1 (First) VALUES ('only a first name')"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    auto store = UsersDatabase::open(f.storePath(), nullptr);
    QVERIFY(store->moveNext());
    QCOMPARE(store->current(), record({}, {}, {}, "only a first name"));
    QCOMPARE(store->findByName(""), false);
    QCOMPARE(store->checkCredentials("", ""), false);
}

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
    QTest::newRow("accented name taken in other case")
        << true << newUserLine("\xC9VA") << QByteArray("DECLINE\r\n");
    QTest::newRow("e-mail taken in other case")
        << true << newUserLine("ann", "bob@EXAMPLE.ORG") << QByteArray("DECLINE\r\n");
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
    QVERIFY(addAll(f.storePath(),
                   {record("bob", "Secret", "Bob@Example.org"), record("dup", "one", "1@x"),
                    record("dup", "two", "2@x"), record("\xE9va"), record("eve")}));
    f.login.setPasswordsRequired(required);
    auto client = f.client();
    for (const QByteArray &part : chunk.split('|')) {
        client->send(part);
        QTest::qWait(30);
    }
    QCOMPARE(client->readLines(replies.count("\r\n")).join(), replies);
    QCOMPARE(client->readFor(60), QByteArray());
    QCOMPARE(UsersDatabase::open(f.storePath(), nullptr)->count(), 5 + replies.count("ACCEPT"));
    // The receive path opens log.txt but writes no password there.
    QCOMPARE(QFileInfo(f.workingFile(QStringLiteral("log.txt"))).size(), 0);
}

void TestAccounts::aReplacedStoreIsUsedFromTheNextRequest()
{
    LoginFixture f;
    QVERIFY(addAll(f.storePath(), {record("bob")}));
    f.login.setPasswordsRequired(true);
    auto client = f.client();
    client->sendLine("VALIDATE\tbob\tpw");
    QCOMPARE(client->readLines(1), QList<QByteArray>{"PASS\r\n"});

    // The operator puts another file in its place.
    const QString other = f.workingFile(QStringLiteral("other.mdb"));
    QVERIFY(addAll(other, {record("carol")}));
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
    QCOMPARE(UsersDatabase::open(f.storePath(), nullptr)->current(), expected);
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

// Actions: "<", ">", "?name" (search). After each, the First of the record
// the boxes show ("." none); "!" marks an action that shows "User not found".
void TestAccounts::browsing_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("shown");
    auto row = [](const char *title, int records, const QString &actions, const QString &shown) {
        QTest::newRow(title) << records << actions.split(QLatin1Char(' '))
                             << shown.split(QLatin1Char(' '));
    };
    row("after opening, > shows the second, < changes nothing", 3, "> > <", "b c b");
    row("after opening, < changes nothing", 3, "< < >", ". . b");
    row("after a failed search, < shows the last", 3, "?zz! <", ". c");
    row("after a failed search, > reopens, then > shows the second", 3, "?zz! > >", ". . b");
    row("on the first record, < changes nothing and reopens", 3, "?a < >", "a a b");
    row("on the last record, > changes nothing, then the second", 2, "?B > >", "b b b");
    row("one record: < and > never show it", 1, "> < > < ?a", ". . . . a");
    row("empty table", 0, "< > ?a!", ". . .");
}

void TestAccounts::browsing()
{
    QFETCH(int, records);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, shown);
    Window w;
    QList<UserRecord> stored;
    for (char c = 'a'; c < 'a' + records; ++c)
        stored.append(record(QByteArray(1, c), "pw", {}, QByteArray(1, c)));
    QVERIFY(addAll(w.path(), stored));
    w.window.load();
    // Load shows no record: the count line, or a box for the empty table.
    const QStringList counts{QString(), QStringLiteral("Tarnwick has 1 registered user."),
                             QStringLiteral("Tarnwick has 2 registered users."),
                             QStringLiteral("Tarnwick has 3 registered users.")};
    QCOMPARE(w.box("Text16")->text(), counts[records]);
    QCOMPARE(w.takeMessages(),
             records ? QStringList() : QStringList{"There are no records in the database."});
    for (int i = 0; i < actions.size(); ++i) {
        QString action = actions[i];
        const bool notFound = action.endsWith(QLatin1Char('!'));
        if (action.startsWith(QLatin1Char('?'))) {
            w.box("Text1")->setText(action.mid(1).remove(QLatin1Char('!')));
            w.click("Command1");
        } else {
            w.click(action == QLatin1String("<") ? "Command3" : "Command4");
        }
        QCOMPARE(w.box("Text3")->text(), shown[i] == QLatin1String(".") ? QString() : shown[i]);
        QCOMPARE(w.takeMessages(), notFound ? QStringList{"User not found"} : QStringList());
    }
}

void TestAccounts::boxesShowAndAddEachColumn()
{
    Window w;
    const UserRecord stored = distinctRecord("v\xE9");
    QVERIFY(addAll(w.path(), {record("x"), stored}));
    w.window.load();
    w.box("Text1")->setText(QStringLiteral("V\u00C98")); // the name, in other case
    w.click("Command1");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        QCOMPARE(w.box(ColumnBoxes[i])->text(), Codepage::toDisplay(stored.values[i]));

    // Add New User appends the boxes as they are.
    const UserRecord typed = distinctRecord("t\xFC");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        w.box(ColumnBoxes[i])->setText(Codepage::toDisplay(typed.values[i]));
    w.click("Command2");
    QCOMPARE(w.takeMessages(), QStringList());
    auto store = UsersDatabase::open(w.path(), nullptr);
    QVERIFY(store->moveNext() && store->moveNext());
    QCOMPARE(store->current(), typed);
}

void TestAccounts::brokenStoreShowsABoxInsteadOfARecord()
{
    Window w;
    const QByteArray notADatabase(4096, 'x');
    QFile file(w.path());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(notADatabase) == 4096);
    file.close();
    w.window.load();
    QCOMPARE(w.takeMessages().size(), 1);
    w.box("Text1")->setText(QStringLiteral("bob"));
    for (const char *button : {"Command1", "Command3", "Command4", "Command2"}) {
        w.click(button);
        const QStringList messages = w.takeMessages();
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.last().contains(w.path() + QLatin1String(" cannot be opened")));
    }
    QCOMPARE(w.box("Text2")->text(), QString());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), notADatabase);
}

void TestAccounts::registrationsReachTheWindowTheOperatorOpens()
{
    LoginFixture f;
    ScriptedDialogs dialogs;
    MainWindow console(*f.chat, dialogs);
    wireAccounts(console, f.login);

    // With "Require Passwords", a registration writes the count line of a
    // window that is loaded but not shown.
    click(&console, "Check1");
    auto client = f.client();
    client->send(newUserLine("bob"));
    QCOMPARE(client->readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    auto *users = console.findChild<UsersWindow *>(QStringLiteral("frmStart"));
    QVERIFY(users && !users->isVisible());
    QCOMPARE(box(users, "Text16")->text(), QStringLiteral("Tarnwick has 1 registered user."));
    // "User Search" shows that window.
    click(&console, "Command2");
    QCOMPARE(console.findChild<UsersWindow *>(QStringLiteral("frmStart")), users);
    QVERIFY(users->isVisible());
    QCOMPARE(dialogs.shown.size(), 0);
}

QTEST_MAIN(TestAccounts)
#include "tst_accounts.moc"
