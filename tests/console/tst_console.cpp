#include "chatfixture.h"
#include "console/mainwindow.h"
#include "console/operatorcommands.h"
#include "core/codepage.h"
#include "scripteddialogs.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>

namespace {

// Runs `whileInputOpen` while an input box is "open" (the event loop runs then).
struct HookedDialogs : ScriptedDialogs
{
    std::function<void(int)> whileInputOpen; // gets the number of dialogs shown before

    QString inputBox(const QString &prompt, const QString &title, const QString &answer) override
    {
        if (whileInputOpen)
            whileInputOpen(int(shown.size()));
        return ScriptedDialogs::inputBox(prompt, title, answer);
    }
};

struct Console
{
    ChatFixture fixture;
    HookedDialogs dialogs;
    MainWindow window{*fixture.chat, dialogs};
    OperatorCommands *commands = new OperatorCommands(window);
    QMap<QByteArray, std::shared_ptr<RawClient>> clients;

    // A client listed as the join lists it; an empty row leaves it unjoined.
    int add(const QByteArray &name, const QByteArray &row, const QString &from)
    {
        int index = 0;
        while (!fixture.table.slot(index).free)
            ++index;
        clients[row.isEmpty() ? QByteArray("<unjoined>") : name] = fixture.connect(from);
        fixture.table.slot(index).name = name;
        if (!row.isEmpty())
            fixture.table.setRow(index, row);
        return index;
    }
    void trigger(const QString &name)
    {
        if (auto *button = window.findChild<QAbstractButton *>(name))
            button->click();
        else
            window.findChild<QAction *>(name)->trigger();
    }
    void select(int index) { window.findChild<QListWidget *>("lstUsers")->setCurrentRow(index); }
    QByteArray received(const QByteArray &client) { return clients[client]->readFor(100); }
    QByteArray banFile() const
    {
        QFile file(fixture.programFile("ban.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void loadReportsABusyPortAndTheWindowFollowsTheServer();
    void inputLineSpeaksAndLogViewKeepsTheLatestLines();
    void notifyAndShowAddress();
    void kickAndBanFindUser_data();
    void kickAndBanFindUser();
    void userReplacedWhileReasonIsAsked();
    void updateMotdEditsRunningMotd();
    void makeServerFileShowsTheNameAndHidesTheBar();
};

void TestConsole::loadReportsABusyPortAndTheWindowFollowsTheServer()
{
    Console c;
    c.fixture.writeProgramFile("motd.txt", "Welcome\r\nto the room\r\n");
    QStringList started;
    c.window.addService({"login service", 3068, [&](QString *reason) {
                             started << "login";
                             *reason = "The address is already in use";
                             return false;
                         }});
    c.window.addService({"chat service", 3069, [&](QString *) {
                             started << "chat";
                             return true;
                         }});
    QCOMPARE(c.window.load().size(), 1);
    QCOMPARE(started, (QStringList{"login", "chat"}));
    QCOMPARE(c.dialogs.messages().size(), 1);
    QVERIFY(c.dialogs.messages()[0].text.contains("3068") &&
            c.dialogs.messages()[0].text.contains("already in use"));
    QVERIFY(QRegularExpression("^Tarnwick Server - \\d+\\.\\d+\\.\\d+\\.\\d+$")
                .match(c.window.windowTitle())
                .hasMatch());

    auto *list = c.window.findChild<QListWidget *>("lstUsers");
    QCOMPARE(list->count(), 50);
    QCOMPARE(list->item(0)->text(), "EMPTY");
    c.fixture.table.setRow(49, QByteArray("\xA5") + "Bob [AW]");
    QCOMPARE(list->item(49)->text(), "\u00A5Bob [AW]");

    auto *box = c.window.findChild<QPlainTextEdit *>("Text1");
    QCOMPARE(box->toPlainText(), "Welcome\nto the room\n");
    box->setPlainText("Hi\nthere");
    QCOMPARE(c.fixture.chat->motd(), QByteArray("Hi\r\nthere"));

    c.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&c.window));
    QVERIFY(!c.window.isTrayAvailable()); // offscreen has no notification area
    c.window.showMinimized();
    QTest::qWait(50);
    QVERIFY(c.window.isVisible());
    // Maximised, it goes back to its one layout.
    c.window.showMaximized();
    QTRY_VERIFY(!c.window.isMaximized() && c.window.isVisible());

    // Each lock panel is greyed while its own key is off; unknown leaves them.
    const QStringList panels = {"panelScroll", "panelNum", "panelCaps"};
    auto lit = [&] {
        QString state;
        for (const QString &name : panels)
            state += c.window.findChild<QLabel *>(name)->isEnabled() ? '1' : '0';
        return state;
    };
    c.window.setKeyLocksSource([] { return KeyLocks{false, true, false}; });
    QCOMPARE(lit(), "010");
    c.window.setKeyLocksSource([] { return KeyLocks{true, false, true}; });
    QCOMPARE(lit(), "101");
    c.window.setKeyLocksSource([] { return std::optional<KeyLocks>(); });
    QCOMPARE(lit(), "101");
}

void TestConsole::inputLineSpeaksAndLogViewKeepsTheLatestLines()
{
    Console c;
    auto client = c.fixture.connect();
    auto *input = c.window.findChild<QLineEdit *>("txtInput");
    input->setText("hello \u00E9");
    QTest::keyClick(input, Qt::Key_Return);
    QCOMPARE(client->readLines(1), QList<QByteArray>{"Message\tServer: hello \xE9\t\r\n"});
    QCOMPARE(input->text(), QString());
    c.window.flushOutput();
    QCOMPARE(c.window.outputText(), "Server: hello \u00E9");

    for (int i = 0; i < MainWindow::LogViewLines + 100; ++i)
        c.fixture.chat->addOutputLine("line " + QByteArray::number(i));
    c.fixture.chat->addOutputLine("text\r\n"); // shows an empty line after it
    c.window.flushOutput();
    const QStringList lines = c.window.outputText().split('\n');
    QCOMPARE(lines.size(), MainWindow::LogViewLines);
    QCOMPARE(lines.mid(lines.size() - 3), (QStringList{"line 5099", "text", ""}));
}

void TestConsole::notifyAndShowAddress()
{
    Console c;
    c.add("amy", "amy [IG]", "127.0.0.1");
    c.add("", "", "127.0.0.1");
    c.select(c.add("bob", "bob [AW]", "127.0.0.2"));
    c.fixture.table.setRow(40, "ghost"); // no connection: the send fails and is skipped
    c.dialogs.inputAnswers = {"Server restarts at 9 \u20AC"};
    c.trigger("Command1");
    QCOMPARE(c.dialogs.shown[0].text, "What would you like to say to the public?");
    for (const char *name : {"amy", "bob"})
        QCOMPARE(c.received(name), QByteArray("MSGBOX\tServer restarts at 9 \x80\r\n"));
    QCOMPARE(c.received("<unjoined>"), QByteArray());

    c.trigger("cmdGetIP");
    c.select(-1);
    c.trigger("mnuGetIP");
    QCOMPARE(c.dialogs.messages().size(), 2);
    QCOMPARE(c.dialogs.messages()[0].text, "127.0.0.2");
    QCOMPARE(c.dialogs.messages()[1].text, "No user is selected.");
}

void TestConsole::kickAndBanFindUser_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("selected"); // -1: none
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("found"); // -1: nobody
    QTest::addColumn<QString>("reason");
    QTest::newRow("name in other case") << "KickUser" << -1 << "BOB" << 0 << "spam";
    QTest::newRow("default is the selected row") << "cmdBanUser" << 0 << "<default>" << 0 << "";
    QTest::newRow("suffixed row never matches") << "mnuBanUser" << 1 << "<default>" << -1 << "x";
    QTest::newRow("moderator mark") << "KickUser" << -1 << "\u00A5MOD" << 2 << "";
    QTest::newRow("no prefix match") << "cmdBanUser" << -1 << "bo" << -1 << "spam";
    QTest::newRow("empty answer finds the unjoined") << "mnuBanUser" << -1 << "" << 3 << "spam";
}

void TestConsole::kickAndBanFindUser()
{
    QFETCH(QString, control);
    QFETCH(int, selected);
    QFETCH(QString, answer);
    QFETCH(int, found);
    QFETCH(QString, reason);
    const bool banning = control != "KickUser";
    Console c;
    const QList<QByteArray> clients{"bob", "amy", "\xA5mod", "<unjoined>"};
    c.add("bob", "bob", "127.0.0.2");
    c.add("amy", "amy [AW]", "127.0.0.3");
    c.add("\xA5mod", "\xA5mod", "127.0.0.4");
    c.add("", "", "127.0.0.5");
    const QString row =
        selected < 0 ? QString() : Codepage::toDisplay(c.fixture.table.row(selected));
    c.select(selected);
    c.dialogs.inputAnswers = {answer == "<default>" ? row : answer, reason};

    c.trigger(control);

    QCOMPARE(c.dialogs.shown.size(), 2);
    QCOMPARE(c.dialogs.shown[0].text,
             banning ? "Who would you like to Banning?" : "Who would you like to kick?");
    QCOMPARE(c.dialogs.shown[0].title, QString("Who:" + row));
    QCOMPARE(c.dialogs.shown[0].defaultAnswer, row);
    if (found < 0)
        QCOMPARE(c.dialogs.shown[1].text, "No one in the chat has that name!");
    const QByteArray notice =
        (banning ? "BANUSER\tThe Server\t" : "Kicked\tThe Server\t") + reason.toLatin1() + "\r\n";
    for (int i = 0; i < clients.size(); ++i)
        QCOMPARE(c.received(clients[i]), i == found ? notice : QByteArray());
    QCOMPARE(c.banFile(), banning && found >= 0
                              ? QByteArray("\"127.0.0." + QByteArray::number(2 + found) + "\"\r\n")
                              : QByteArray());
    // The user stays connected until the client leaves.
    QVERIFY(found < 0 || c.fixture.chat->isConnected(found));
}

void TestConsole::userReplacedWhileReasonIsAsked()
{
    Console c;
    c.add("bob", "bob", "127.0.0.2");
    c.dialogs.inputAnswers = {"bob", "spam"};
    c.dialogs.whileInputOpen = [&](int shownBefore) {
        if (shownBefore != 1)
            return;
        // bob leaves and carol takes his index before the reason is given.
        c.clients.take("bob")->abort();
        QTRY_VERIFY(c.fixture.table.slot(0).free);
        QCOMPARE(c.add("carol", "carol", "127.0.0.3"), 0);
    };
    c.trigger("cmdBanUser");
    QCOMPARE(c.received("carol"), QByteArray());
    // The ban still holds the address of the user the operator chose.
    QCOMPARE(c.banFile(), QByteArray("\"127.0.0.2\"\r\n"));
}

void TestConsole::updateMotdEditsRunningMotd()
{
    Console c;
    c.trigger("cmdUpdateMOTD");
    QPointer<QWidget> editor = c.window.findChild<QWidget *>("frmEditMOTD");
    auto *text = editor->findChild<QPlainTextEdit *>("txtMOTD");
    text->setPlainText("Tonight:\nquiz");
    // A second click brings the open editor forward without reloading it.
    c.trigger("cmdUpdateMOTD");
    QCOMPARE(c.window.findChildren<QWidget *>("frmEditMOTD").size(), 1);
    QCOMPARE(text->toPlainText(), "Tonight:\nquiz");
    editor->findChild<QAbstractButton *>("cmdOk")->click();
    QVERIFY(!editor || !editor->isVisible());
    QCOMPARE(c.window.findChild<QPlainTextEdit *>("Text1")->toPlainText(), "Tonight:\nquiz");
    auto zoe = c.fixture.connect();
    zoe->sendLine("Name\tzoe");
    QCOMPARE(zoe->readLines(2).join(), "MOTD\tTonight:\r\nquiz\r\n");
}

void TestConsole::makeServerFileShowsTheNameAndHidesTheBar()
{
    Console c;
    c.select(c.add("bob", "bob", "127.0.0.2"));
    c.dialogs.inputAnswers = {"Tarnwick Hall"};
    c.trigger("mnumkserver");
    QCOMPARE(c.dialogs.shown[0].title, "Who:bob");
    QVERIFY(QFile::exists(c.fixture.programFile("Tarnwick Hall.tkl")));
    QCOMPARE(c.window.findChild<QLabel *>("Label2")->text(), "Tarnwick Hall");
    QVERIFY(c.window.findChild<QLabel *>("PrBar")->isHidden());
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
