#include "consolefixture.h"

#include "core/codepage.h"
#include "core/passwordhash.h"
#include "userrecords.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

// frmStart as the operator reaches it: "User Search" on the console, and the
// count line the login service writes after a registration.
namespace {

// A record whose fifteen fields all differ: "<tag>0" .. "<tag>14".
UserRecord distinctRecord(const QByteArray &tag)
{
    UserRecord r;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        r.values[i] = tag + QByteArray::number(i);
    return r;
}

// The box of each column, in the order of UserRecord's columns.
const char *const ColumnBoxes[] = {"Text3",  "Text4",  "Text5",  "Text6",  "Text7",
                                   "Text8",  "Text9",  "Text10", "Text2",  "Text11",
                                   "Text12", "Text13", "Text17", "Text14", "Text15"};

// The console over users.mdb holding `records`, with the users window open.
struct Users
{
    explicit Users(const QList<UserRecord> &records)
    {
        QVERIFY(addUsers(f.programFile(UsersDatabase::FileName), records));
        f.click("Command2");
        window = f.app().usersWindow();
    }
    QLineEdit *box(const char *name) const { return window->findChild<QLineEdit *>(name); }
    void click(const char *name) const
    {
        QTest::mouseClick(window->findChild<QAbstractButton *>(name), Qt::LeftButton);
    }
    void search(const QByteArray &name) const
    {
        box("Text1")->setText(Codepage::toDisplay(name));
        click("Command1");
    }

    ConsoleFixture f;
    UsersWindow *window = nullptr;
};

// One step of browsing and the First of the record the boxes show after it
// (empty: none). A search that shows none says "User not found".
struct Step
{
    enum Kind
    {
        Previous,
        Next,
        Search
    } kind;
    QByteArray name;
    QString shows;
};
const QString Nothing;
Step previous(const QString &shows)
{
    return {Step::Previous, {}, shows};
}
Step next(const QString &shows)
{
    return {Step::Next, {}, shows};
}
Step search(const QByteArray &name, const QString &shows)
{
    return {Step::Search, name, shows};
}
using Steps = QList<Step>;

} // namespace

Q_DECLARE_METATYPE(Steps)

class TestUsersWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void browsing_data();
    void browsing();
    void foundRecordShownUpdatedClearedAndAdded();
    void brokenStoreShowsABoxInsteadOfARecord();
    void registrationsReachTheWindowTheOperatorOpens();
};

// Over records a, b, c (names and first names alike), as many as the row says.
void TestUsersWindow::browsing_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<Steps>("steps");
    QTest::newRow("after opening, > shows the second")
        << 3 << Steps{next("b"), next("c"), previous("b")};
    QTest::newRow("after opening, < changes nothing")
        << 3 << Steps{previous(Nothing), previous(Nothing), next("b")};
    QTest::newRow("after a failed search, < shows the last")
        << 3 << Steps{search("zz", Nothing), previous("c")};
    QTest::newRow("after a failed search, > reopens, then > shows the second")
        << 3 << Steps{search("zz", Nothing), next(Nothing), next("b")};
    QTest::newRow("on the first record, < changes nothing and reopens")
        << 3 << Steps{search("a", "a"), previous("a"), next("b")};
    QTest::newRow("on the last record, > changes nothing, then the second")
        << 2 << Steps{search("B", "b"), next("b"), next("b")};
    QTest::newRow("one record: < and > never show it")
        << 1
        << Steps{next(Nothing), previous(Nothing), next(Nothing), previous(Nothing),
                 search("a", "a")};
    QTest::newRow("empty table") << 0
                                 << Steps{previous(Nothing), next(Nothing), search("a", Nothing)};
}

void TestUsersWindow::browsing()
{
    QFETCH(int, records);
    QFETCH(Steps, steps);
    QList<UserRecord> stored;
    for (char c = 'a'; c < 'a' + records; ++c)
        stored.append(userRecord(QByteArray(1, c), "pw", {}, QByteArray(1, c)));
    Users users(stored);
    // Load shows no record: the count line, or a box for the empty table.
    const QStringList counts{QString(), QStringLiteral("Tarnwick has 1 registered user."),
                             QStringLiteral("Tarnwick has 2 registered users."),
                             QStringLiteral("Tarnwick has 3 registered users.")};
    QCOMPARE(users.box("Text16")->text(), counts[records]);
    QCOMPARE(users.f.takeMessages(),
             records ? QStringList() : QStringList{"There are no records in the database."});
    for (const Step &step : steps) {
        switch (step.kind) {
        case Step::Previous:
            users.click("Command3");
            break;
        case Step::Next:
            users.click("Command4");
            break;
        case Step::Search:
            users.search(step.name);
            break;
        }
        QCOMPARE(users.box("Text3")->text(), step.shows);
        QCOMPARE(users.f.takeMessages(), step.kind == Step::Search && step.shows.isEmpty()
                                             ? QStringList{"User not found"}
                                             : QStringList());
    }
}

// Each box shows its column of the record found. The password box of a hashed
// password stays empty and says why; what is typed there becomes the user's
// new password, stored hashed. Clear empties the record's boxes but keeps the
// search name and the count line; Add New User appends the boxes as they are.
void TestUsersWindow::foundRecordShownUpdatedClearedAndAdded()
{
    const UserRecord stored = distinctRecord("v\xE9");
    Users users({userRecord("ann", "pw", {}, "Ann"),
                 userRecord("amy", PasswordHash::make("old"), {}, "Amy"), stored});
    users.search("V\xC9"
                 "8"); // the name, in other case
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        QCOMPARE(users.box(ColumnBoxes[i])->text(), Codepage::toDisplay(stored.values[i]));

    // Enter in the name box searches too.
    users.box("Text1")->setText("AMY");
    QTest::keyClick(users.box("Text1"), Qt::Key_Return);
    QCOMPARE(users.box("Text3")->text(), "Amy");
    QLineEdit *password = users.box("Text11");
    QCOMPARE(password->text(), QString());
    QCOMPARE(password->placeholderText(), "stored hashed, cannot be shown");
    password->setText("new");
    users.click("Command6");
    QCOMPARE(users.f.takeMessages(), QStringList());
    auto store = UsersDatabase::open(users.f.programFile(UsersDatabase::FileName), nullptr);
    QCOMPARE(store->checkCredentials("amy", "new"), true);
    QCOMPARE(store->checkCredentials("amy", "old"), false);
    QVERIFY(store->findByName("amy") &&
            PasswordHash::isHash(store->current()->values[UserRecord::Password]));
    QCOMPARE(password->text(), QString());

    users.box("Text18")->setText("7");
    users.click("Command5");
    for (const char *name : ColumnBoxes)
        QCOMPARE(users.box(name)->text(), QString());
    QCOMPARE(users.box("Text18")->text(), QString());
    QCOMPARE(users.box("Text1")->text(), "AMY");
    QCOMPARE(users.box("Text16")->text(), "Tarnwick has 3 registered users.");

    const UserRecord typed = distinctRecord("t\xFC");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        users.box(ColumnBoxes[i])->setText(Codepage::toDisplay(typed.values[i]));
    users.click("Command2");
    QCOMPARE(users.f.takeMessages(), QStringList());
    store = UsersDatabase::open(users.f.programFile(UsersDatabase::FileName), nullptr);
    QVERIFY(store->moveNext() && store->moveNext() && store->moveNext());
    // A store made by this server takes the password as a hash.
    std::optional<UserRecord> added = store->current();
    QVERIFY(added &&
            PasswordHash::matches(typed[UserRecord::Password], (*added)[UserRecord::Password]));
    (*added)[UserRecord::Password] = typed[UserRecord::Password];
    QCOMPARE(added, typed);
}

void TestUsersWindow::brokenStoreShowsABoxInsteadOfARecord()
{
    ConsoleFixture f;
    const QString path = f.programFile(UsersDatabase::FileName);
    const QByteArray notADatabase(4096, 'x');
    f.writeProgramFile(UsersDatabase::FileName, notADatabase);
    f.click("Command2");
    QCOMPARE(f.takeMessages().size(), 1);
    UsersWindow *window = f.app().usersWindow();
    window->findChild<QLineEdit *>("Text1")->setText(QStringLiteral("bob"));
    for (const char *button : {"Command1", "Command3", "Command4", "Command2"}) {
        window->findChild<QAbstractButton *>(button)->click();
        const QStringList messages = f.takeMessages();
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.last().contains(path + QLatin1String(" cannot be opened")));
    }
    QCOMPARE(window->findChild<QLineEdit *>("Text2")->text(), QString());
    QCOMPARE(f.readProgramFile(UsersDatabase::FileName), notADatabase);
}

void TestUsersWindow::registrationsReachTheWindowTheOperatorOpens()
{
    ConsoleFixture f;
    // With "Require Passwords", a registration writes the count line of a
    // window that is loaded but not shown.
    f.click("Check1");
    RawClient client;
    QVERIFY(
        client.connectTo(f.onService([&f] { return f.app().services().core().login().port(); })));
    client.send(newUserLine("bob"));
    QCOMPARE(client.readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    f.settle();
    UsersWindow *users = f.app().usersWindow();
    QVERIFY(users && !users->isVisible());
    QCOMPARE(users->findChild<QLineEdit *>("Text16")->text(),
             QStringLiteral("Tarnwick has 1 registered user."));
    // "User Search" shows that window.
    f.click("Command2");
    QCOMPARE(f.app().usersWindow(), users);
    QVERIFY(users->isVisible());
    QCOMPARE(f.dialogs.shown.size(), 0);
}

QTEST_MAIN(TestUsersWindow)
#include "tst_userswindow.moc"
