#include "accountstesting.h"
#include "scripteddialogs.h"

#include "accounts/userswindow.h"
#include "accounts/userswindowhost.h"
#include "core/codepage.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace AccountsTesting;

namespace {

using Records = QList<UserRecord>;

const char *const RecordBoxNames[] = {"Text2",  "Text3",  "Text4",  "Text5",  "Text6",
                                      "Text7",  "Text8",  "Text9",  "Text10", "Text11",
                                      "Text12", "Text13", "Text14", "Text15", "Text17"};
// The column each of RecordBoxNames shows.
constexpr UserRecord::Column RecordBoxColumns[] = {
    UserRecord::UserName,    UserRecord::First,    UserRecord::Last,     UserRecord::Address1,
    UserRecord::Address2,    UserRecord::City,     UserRecord::State,    UserRecord::Zip,
    UserRecord::Country,     UserRecord::Password, UserRecord::Provider, UserRecord::Connection,
    UserRecord::mailinglist, UserRecord::emailme,  UserRecord::Email};

// Records a..: named after their letter, First "first-<letter>".
Records lettered(int count)
{
    Records records;
    for (int i = 0; i < count; ++i) {
        const QByteArray letter(1, char('a' + i));
        records.append(record(letter, "pw", letter + "@x", "first-" + letter));
    }
    return records;
}

} // namespace

class TestUsersWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void layout_data();
    void layout();
    void loadShowsTheCountOrTheEmptyTableBox_data();
    void loadShowsTheCountOrTheEmptyTableBox();
    void browsing_data();
    void browsing();
    void getDataFillsEachBoxFromItsColumn();
    void addNewUserAppendsTheBoxesAsTheyAre();
    void addNewUserAfterSearchAddsACopy();
    void clearKeepsSearchNameAndCountLine();
    void brokenStoreShowsABoxInsteadOfARecord();
    void unwritableStoreShowsABoxOnAdd();
    void hostCreatesLoadsAndRecreatesAfterClose();

private:
    QString path() const { return m_dir->filePath(QStringLiteral("users.mdb")); }
    UsersWindow *makeWindow()
    {
        m_window = std::make_unique<UsersWindow>(path(), m_dialogs);
        m_window->setAttribute(Qt::WA_DeleteOnClose, false);
        m_window->load();
        return m_window.get();
    }
    QLineEdit *box(const char *name) const
    {
        return m_window->findChild<QLineEdit *>(QLatin1String(name));
    }
    void click(const char *name) const
    {
        auto *button = m_window->findChild<QPushButton *>(QLatin1String(name));
        QVERIFY2(button, name);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    QStringList messageTexts() const
    {
        QStringList texts;
        for (const ScriptedDialogs::Shown &shown : m_dialogs.messages())
            texts.append(shown.text);
        return texts;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<UsersWindow> m_window;
};

void TestUsersWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_dialogs = ScriptedDialogs();
}

void TestUsersWindow::cleanup()
{
    m_window.reset();
}

void TestUsersWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption"); // buttons only
    QTest::addColumn<QRect>("twips");
    auto row = [](const char *name, const char *caption, int l, int t, int w, int h) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(caption)
                            << QRect(l, t, w, h);
    };
    row("Frame1", "", 0, 120, 9255, 735);
    row("Frame2", "", 0, 960, 9255, 5295);
    row("Text1", "", 1080, 360, 2055, 285);
    row("Command1", "Search", 3360, 360, 1335, 255);
    row("Text16", "", 6000, 360, 3015, 285);
    row("Text2", "", 1200, 360, 1935, 285);
    row("Text11", "", 4800, 360, 1335, 285);
    row("Text18", "", 7440, 360, 975, 285);
    row("Command3", "<", 8520, 360, 255, 255);
    row("Command4", ">", 8880, 360, 255, 255);
    row("Text3", "", 1320, 1440, 1695, 285);
    row("Text4", "", 4200, 1440, 1575, 285);
    row("Text5", "", 1320, 1800, 5295, 285);
    row("Text6", "", 1320, 2160, 5295, 285);
    row("Text7", "", 1200, 2880, 1215, 285);
    row("Text8", "", 3000, 2880, 1095, 285);
    row("Text9", "", 4800, 2880, 975, 285);
    row("Text10", "", 6600, 2880, 1215, 285);
    row("Text12", "", 1800, 3600, 1935, 285);
    row("Text13", "", 5760, 3600, 1215, 285);
    row("Text17", "", 1320, 4320, 2895, 285);
    row("Text14", "", 1560, 4680, 1095, 285);
    row("Text15", "", 4920, 4680, 1215, 285);
    row("Command5", "Clear", 7680, 4680, 1455, 255);
    row("Command2", "Add New User", 7680, 4920, 1455, 255);
}

void TestUsersWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    makeWindow();
    QCOMPARE(m_window->objectName(), QStringLiteral("frmStart"));
    QCOMPARE(m_window->size(), QSize(9300 / 15, 6285 / 15));
    QVERIFY(m_window->windowTitle().startsWith(QLatin1String("Tarnwick Server - ")));
    auto *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(),
             QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), caption);
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        QCOMPARE(edit->text(), QString());
        QCOMPARE(edit->echoMode(),
                 name == QLatin1String("Text11") ? QLineEdit::Password : QLineEdit::Normal);
    }
}

void TestUsersWindow::loadShowsTheCountOrTheEmptyTableBox_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("countLine");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("empty") << 0 << QString()
                           << QStringList{QStringLiteral("There are no records in the database.")};
    QTest::newRow("one") << 1 << QStringLiteral("Tarnwick has 1 registered user.") << QStringList();
    QTest::newRow("two") << 2 << QStringLiteral("Tarnwick has 2 registered users.")
                         << QStringList();
}

void TestUsersWindow::loadShowsTheCountOrTheEmptyTableBox()
{
    QFETCH(int, records);
    QFETCH(QString, countLine);
    QFETCH(QStringList, messages);
    QVERIFY(addAll(path(), lettered(records)));
    makeWindow();
    QCOMPARE(box("Text16")->text(), countLine);
    QCOMPARE(messageTexts(), messages);
    for (const ScriptedDialogs::Shown &shown : m_dialogs.messages()) {
        QCOMPARE(shown.title, QString()); // the program's default title
        QCOMPARE(shown.icon, Dialogs::Icon::None);
    }
    for (const char *name : RecordBoxNames)
        QCOMPARE(box(name)->text(), QString()); // Load shows no record
}

// Actions: "<", ">", "?name" (search; "_" stands for a blank). After each,
// the First of the record the boxes show ("." none yet); "!" marks an action
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
    row("search then browse from there", 3, "?B > <", "first-b first-c first-b");
    row("one record: < and > never show it", 1, "> < > < ?a", ". . . . first-a");
    row("empty table", 0, "< > ?a!", ". . .");
    row("search folds case, keeps blanks", 2, "?A ?a_!", "first-a first-a");
}

void TestUsersWindow::browsing()
{
    QFETCH(int, records);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, shown);
    QVERIFY(addAll(path(), lettered(records)));
    makeWindow();
    m_dialogs.shown.clear();
    for (int i = 0; i < actions.size(); ++i) {
        QString action = actions[i];
        const bool notFound = action.endsWith(QLatin1Char('!'));
        if (notFound)
            action.chop(1);
        if (action.startsWith(QLatin1Char('?'))) {
            box("Text1")->setText(action.mid(1).replace(QLatin1Char('_'), QLatin1Char(' ')));
            click("Command1");
        } else {
            click(action == QLatin1String("<") ? "Command3" : "Command4");
        }
        const QString expected = shown[i] == QLatin1String(".") ? QString() : shown[i];
        QVERIFY2(box("Text3")->text() == expected,
                 qPrintable(QStringLiteral("after %1: %2").arg(actions[i], box("Text3")->text())));
        QCOMPARE(messageTexts(),
                 notFound ? QStringList{QStringLiteral("User not found")} : QStringList());
        m_dialogs.shown.clear();
    }
}

void TestUsersWindow::getDataFillsEachBoxFromItsColumn()
{
    UserRecord stored = distinctRecord("v\xE9");
    QVERIFY(addAll(path(), {record("x"), stored}));
    makeWindow();
    box("Text1")->setText(QStringLiteral("V\u00C98")); // the UserName, in other case
    click("Command1");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        QCOMPARE(box(RecordBoxNames[i])->text(), Codepage::toDisplay(stored[RecordBoxColumns[i]]));
    QCOMPARE(box("Text18")->text(), QString());
}

void TestUsersWindow::addNewUserAppendsTheBoxesAsTheyAre()
{
    QVERIFY(addAll(path(), lettered(1)));
    makeWindow();
    click("Command2"); // all boxes empty
    UserRecord typed = distinctRecord("t\xFC");
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        box(RecordBoxNames[i])->setText(Codepage::toDisplay(typed[RecordBoxColumns[i]]));
    click("Command2");
    QCOMPARE(m_dialogs.shown.size(), 0);
    QCOMPARE(box("Text16")->text(), QStringLiteral("Tarnwick has 1 registered user."));
    QCOMPARE(box("Text3")->text(), Codepage::toDisplay(typed[UserRecord::First]));

    auto store = UsersDatabase::open(path(), nullptr);
    QCOMPARE(store->count(), 3);
    QVERIFY(store->moveNext());
    QCOMPARE(store->current(), UserRecord());
    QVERIFY(store->moveNext());
    QCOMPARE(store->current(), typed);
}

void TestUsersWindow::addNewUserAfterSearchAddsACopy()
{
    QVERIFY(addAll(path(), lettered(2)));
    makeWindow();
    box("Text1")->setText(QStringLiteral("b"));
    click("Command1");
    click("Command2");
    auto store = UsersDatabase::open(path(), nullptr);
    QCOMPARE(store->count(), 3);
    QVERIFY(store->moveNext());
    const std::optional<UserRecord> original = store->current();
    QVERIFY(store->moveNext());
    QCOMPARE(store->current(), original);
    // The cursor stayed on the record found.
    click("Command4");
    QCOMPARE(box("Text3")->text(), QStringLiteral("first-b"));
}

void TestUsersWindow::clearKeepsSearchNameAndCountLine()
{
    QVERIFY(addAll(path(), lettered(2)));
    makeWindow();
    box("Text1")->setText(QStringLiteral("a"));
    click("Command1");
    box("Text18")->setText(QStringLiteral("17"));
    click("Command5");
    for (const char *name : RecordBoxNames)
        QCOMPARE(box(name)->text(), QString());
    QCOMPARE(box("Text18")->text(), QString());
    QCOMPARE(box("Text1")->text(), QStringLiteral("a"));
    QCOMPARE(box("Text16")->text(), QStringLiteral("Tarnwick has 2 registered users."));
    click("Command4"); // the cursor did not move
    QCOMPARE(box("Text3")->text(), QStringLiteral("first-b"));
}

void TestUsersWindow::brokenStoreShowsABoxInsteadOfARecord()
{
    writeFile(path(), foreignDatabaseBytes());
    makeWindow();
    QCOMPARE(m_dialogs.messages().size(), 1);
    QVERIFY(messageTexts().constFirst().contains(path()));
    box("Text1")->setText(QStringLiteral("bob"));
    for (const char *button : {"Command1", "Command3", "Command4", "Command2"}) {
        m_dialogs.shown.clear();
        click(button);
        QCOMPARE(m_dialogs.messages().size(), 1);
        QVERIFY2(messageTexts().constFirst().contains(QLatin1String("cannot be opened")),
                 qPrintable(messageTexts().constFirst()));
    }
    QCOMPARE(box("Text2")->text(), QString());
    QCOMPARE(fileBytes(path()), foreignDatabaseBytes());
}

void TestUsersWindow::unwritableStoreShowsABoxOnAdd()
{
    QVERIFY(addAll(path(), lettered(1)));
    QVERIFY(makeUnwritable(path()));
    makeWindow();
    box("Text2")->setText(QStringLiteral("new"));
    click("Command2");
    QCOMPARE(m_dialogs.messages().size(), 1);
    QVERIFY(messageTexts().constFirst().contains(QLatin1String("cannot be written")));
}

void TestUsersWindow::hostCreatesLoadsAndRecreatesAfterClose()
{
    QWidget console;
    UsersWindowHost host(path(), m_dialogs, &console);
    QVERIFY(!host.window());

    // The login service writes the count line: created and loaded, not shown.
    host.setCountLine("Tarnwick has 7 registered users.");
    QVERIFY(host.window());
    QVERIFY(!host.window()->isVisible());
    QCOMPARE(m_dialogs.messages().size(), 1); // Load found the table empty
    QCOMPARE(host.window()->findChild<QLineEdit *>(QStringLiteral("Text16"))->text(),
             QStringLiteral("Tarnwick has 7 registered users."));

    // "User Search" only shows the existing window.
    UsersWindow *first = host.window();
    host.show();
    QCOMPARE(host.window(), first);
    QVERIFY(first->isVisible());
    QCOMPARE(m_dialogs.messages().size(), 1);

    // The close box destroys it; the next "User Search" makes a new one.
    QVERIFY(addAll(path(), lettered(1)));
    first->close();
    QVERIFY(waitUntil([&] { return !host.window(); }));
    host.show();
    QVERIFY(host.window());
    QVERIFY(host.window()->isVisible());
    QCOMPARE(host.window()->findChild<QLineEdit *>(QStringLiteral("Text16"))->text(),
             QStringLiteral("Tarnwick has 1 registered user."));
}

QTEST_MAIN(TestUsersWindow)
#include "tst_userswindow.moc"
