#include "accountstesting.h"
#include "scripteddialogs.h"

#include "accounts/userswindow.h"
#include "core/codepage.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace AccountsTesting;

namespace {

// The box of each column, in the order of UserRecord's columns.
const char *const ColumnBoxes[] = {"Text3",  "Text4",  "Text5",  "Text6",  "Text7",
                                   "Text8",  "Text9",  "Text10", "Text2",  "Text11",
                                   "Text12", "Text13", "Text17", "Text14", "Text15"};

struct Window
{
    QString path() const { return dir.filePath(QStringLiteral("users.mdb")); }
    // Loads over records a.. named after their letter, First "first-<letter>".
    void load(int records)
    {
        QList<UserRecord> stored;
        for (char c = 'a'; c < 'a' + records; ++c)
            stored.append(record(QByteArray(1, c), "pw", {}, "first-" + QByteArray(1, c)));
        QVERIFY(addAll(path(), stored));
        window.load();
    }
    QLineEdit *box(const char *name) const
    {
        return window.findChild<QLineEdit *>(QLatin1String(name));
    }
    void click(const char *name)
    {
        QTest::mouseClick(window.findChild<QPushButton *>(QLatin1String(name)), Qt::LeftButton);
    }
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
};

// Actions: "<", ">", "?name" (search; "_" stands for a blank). After each,
// the First of the record the boxes show ("." none); "!" marks an action
// that shows "User not found".
void TestUsersWindow::browsing_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("shown");
    auto row = [](const char *title, int records, const QString &actions, const QString &shown) {
        QTest::newRow(title) << records << actions.split(QLatin1Char(' '))
                             << shown.split(QLatin1Char(' '));
    };
    row("after opening, > shows the second", 3, "> >", "first-b first-c");
    row("after opening, < changes nothing", 3, "< <", ". .");
    row("the first is shown by < from the second", 3, "> <", "first-b first-a");
    row("after a failed search, < shows the last", 3, "?zz! <", ". first-c");
    row("after a failed search, > reopens, then > shows the second", 3, "?zz! > >", ". . first-b");
    row("on the first record, < changes nothing and reopens", 3, "?a < >",
        "first-a first-a first-b");
    row("on the last record, > changes nothing, then the second", 3, "?c > >",
        "first-c first-c first-b");
    row("one record: < and > never show it", 1, "> < > < ?a", ". . . . first-a");
    row("empty table", 0, "< > ?a!", ". . .");
    row("search folds case, keeps blanks", 2, "?B ?b_!", "first-b first-b");
}

void TestUsersWindow::browsing()
{
    QFETCH(int, records);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, shown);
    Window w;
    w.load(records);
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
        if (notFound)
            action.chop(1);
        if (action.startsWith(QLatin1Char('?'))) {
            w.box("Text1")->setText(action.mid(1).replace(QLatin1Char('_'), QLatin1Char(' ')));
            w.click("Command1");
        } else {
            w.click(action == QLatin1String("<") ? "Command3" : "Command4");
        }
        QCOMPARE(w.box("Text3")->text(), shown[i] == QLatin1String(".") ? QString() : shown[i]);
        QCOMPARE(w.takeMessages(),
                 notFound ? QStringList{QStringLiteral("User not found")} : QStringList());
    }
}

void TestUsersWindow::boxesShowClearAndAddEachColumn()
{
    Window w;
    const UserRecord stored = distinctRecord("v\xE9");
    QVERIFY(addAll(w.path(), {record("x"), stored}));
    w.window.load();
    w.box("Text1")->setText(QStringLiteral("V\u00C98")); // the UserName, in other case
    w.click("Command1");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        QCOMPARE(w.box(ColumnBoxes[i])->text(), Codepage::toDisplay(stored.values[i]));

    // Clear empties the record's boxes only.
    w.click("Command5");
    for (const char *name : ColumnBoxes)
        QCOMPARE(w.box(name)->text(), QString());
    QCOMPARE(w.box("Text1")->text(), QStringLiteral("V\u00C98"));
    QCOMPARE(w.box("Text16")->text(), QStringLiteral("Tarnwick has 2 registered users."));

    // Add New User appends the boxes as they are.
    const UserRecord typed = distinctRecord("t\xFC");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        w.box(ColumnBoxes[i])->setText(Codepage::toDisplay(typed.values[i]));
    w.click("Command2");
    QCOMPARE(w.takeMessages(), QStringList());
    auto store = UsersDatabase::open(w.path(), nullptr);
    QCOMPARE(store->count(), 3);
    QVERIFY(store->moveNext() && store->moveNext());
    QCOMPARE(store->current(), typed);
}

void TestUsersWindow::brokenStoreShowsABoxInsteadOfARecord()
{
    Window w;
    const QByteArray bytes = writeForeignDatabase(w.path());
    w.window.load();
    QCOMPARE(w.takeMessages().size(), 1);
    w.box("Text1")->setText(QStringLiteral("bob"));
    for (const char *button : {"Command1", "Command3", "Command4", "Command2"}) {
        w.click(button);
        const QStringList messages = w.takeMessages();
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().contains(w.path() + QLatin1String(" cannot be opened")),
                 qPrintable(messages.first()));
    }
    QCOMPARE(w.box("Text2")->text(), QString());
    QCOMPARE(fileBytes(w.path()), bytes);
}

QTEST_MAIN(TestUsersWindow)
#include "tst_userswindow.moc"
