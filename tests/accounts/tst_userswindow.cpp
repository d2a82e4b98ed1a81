#include "accountstesting.h"
#include "chatfixture.h"
#include "scripteddialogs.h"

#include "accounts/loginserver.h"
#include "accounts/userswindow.h"
#include "console/accountswiring.h"
#include "console/mainwindow.h"
#include "core/codepage.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace AccountsTesting;

namespace {

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

class TestUsersWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void browsing_data();
    void browsing();
    void boxesShowClearAndAddEachColumn();
    void brokenStoreShowsABoxInsteadOfARecord();
    void registrationsReachTheWindowTheOperatorOpens();
};

// Actions: "<", ">", "?name" (search). After each, the First of the record
// the boxes show ("." none); "!" marks an action that shows "User not found".
void TestUsersWindow::browsing_data()
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
    row("on the last record, > changes nothing, then the second", 3, "?C > >", "c c b");
    row("one record: < and > never show it", 1, "> < > < ?a", ". . . . a");
    row("empty table", 0, "< > ?a!", ". . .");
}

void TestUsersWindow::browsing()
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

void TestUsersWindow::boxesShowClearAndAddEachColumn()
{
    Window w;
    const UserRecord stored = distinctRecord("v\xE9");
    QVERIFY(addAll(w.path(), {record("x"), stored}));
    w.window.load();
    w.box("Text1")->setText(QStringLiteral("V\u00C98")); // the name, in other case
    w.click("Command1");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        QCOMPARE(w.box(ColumnBoxes[i])->text(), Codepage::toDisplay(stored.values[i]));

    // Clear empties the record's boxes only.
    w.click("Command5");
    for (const char *name : ColumnBoxes)
        QCOMPARE(w.box(name)->text(), QString());
    QCOMPARE(w.box("Text16")->text(), QStringLiteral("Tarnwick has 2 registered users."));

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

void TestUsersWindow::brokenStoreShowsABoxInsteadOfARecord()
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

void TestUsersWindow::registrationsReachTheWindowTheOperatorOpens()
{
    ChatFixture chat(false);
    ScriptedDialogs dialogs;
    LoginServer login(chat.table, chat.config);
    MainWindow console(*chat.chat, dialogs);
    wireAccounts(console, login);
    QVERIFY(login.listen());

    // With "Require Passwords", a registration writes the count line of a
    // window that is loaded but not shown.
    click(&console, "Check1");
    RawClient client;
    QVERIFY(client.connectTo(login.port()));
    client.send("NEWUSER" + QByteArray(9, '\t') + "bob\tpw\t\t\tbob@x\t\t\r\n");
    QCOMPARE(client.readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    auto *users = console.findChild<UsersWindow *>(QStringLiteral("frmStart"));
    QVERIFY(users && !users->isVisible());
    QCOMPARE(box(users, "Text16")->text(), QStringLiteral("Tarnwick has 1 registered user."));
    // "User Search" shows that window.
    click(&console, "Command2");
    QCOMPARE(console.findChild<UsersWindow *>(QStringLiteral("frmStart")), users);
    QVERIFY(users->isVisible());
    QCOMPARE(dialogs.shown.size(), 0);
}

QTEST_MAIN(TestUsersWindow)
#include "tst_userswindow.moc"
