#include "consolefixture.h"

#include "console/banswindow.h"
#include "console/mainwindow.h"
#include "core/codepage.h"
#include "platform/folderlock.h"
#include "platform/widgetdialogs.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTcpServer>
#include <QTest>
#include <QTreeWidget>

#include <map>

namespace {

// Clients the user list shows, as the join would list them, without running
// the join: a row can then carry marks and suffixes directly.
struct Room
{
    ConsoleFixture f;
    std::map<QByteArray, std::unique_ptr<RawClient>> clients;

    // A connected client named `name`, listed as `row`; returns its index.
    int listed(const QByteArray &name, const QByteArray &row, const QString &from)
    {
        const int index = connected(name, from);
        f.onService([&] { f.table().setRow(index, row); });
        f.settle();
        return index;
    }
    // A client that has connected but not joined: its name is still empty.
    int unjoined(const QString &from) { return connected(QByteArray(), from); }

    QByteArray received(const QByteArray &name) { return clients.at(name)->drain(100); }

private:
    int connected(const QByteArray &name, const QString &from)
    {
        const int index = f.onService([this] {
            int free = 0;
            while (!f.table().slot(free).free)
                ++free;
            return free;
        });
        clients[name] = f.connect(from);
        if (!QTest::qWaitFor(
                [&] { return f.onService([&] { return !f.table().slot(index).free; }); }))
            qWarning("the server did not take the connection");
        f.onService([&] { f.table().slot(index).name = name; });
        return index;
    }
};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startTellsWhatItCannotDo();
    void windowAsShown();
    void startUpFilesFillTheBoxes();
    void keyLockPanels();
    void inputLineSpeaksToTheRoomAndExitEndsIt();
    void logViewKeepsTheLatestLinesInTheirOrder();
    void commandsOnTheListedRows();
    void kickAndBanFindUser_data();
    void kickAndBanFindUser();
    void boxesWaitingHoldNothing();
    void editorsOpenOnlyOnce();
    void bansWindowAddsAndLiftsBans();
    void boxesBelongToTheWindowThatAsked();
};

// A port that is taken is told in a box; a folder that another server holds
// in the log view: this server has no control socket, the shell's way in.
// The chat serves all the same.
void TestConsole::startTellsWhatItCannotDo()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::AnyIPv4));
    ConsoleFixture f(ConsoleFixture::Start::Later);
    f.config.loginPort = taken.serverPort();
    FolderLock other;
    QCOMPARE(other.lock(f.programFolder.path()), FolderLock::Outcome::Locked);
    const QStringList failures = f.start();
    QCOMPARE(failures.size(), 1);
    QVERIFY(
        failures[0].startsWith(QStringLiteral("The login service could not listen on TCP port %1: ")
                                   .arg(f.config.loginPort)));
    f.settle();
    const QList<ScriptedDialogs::Shown> shown = f.dialogs.messages();
    QCOMPARE(shown[0].text, failures[0]);
    QCOMPARE(shown[0].icon, Dialogs::Icon::Critical);
    QVERIFY(!QFile::exists(f.programFile("tarnwick-server.sock")));
    const QStringList told{
        QStringLiteral("Another server is already running on the data folder %1. This server has "
                       "no control socket.")
            .arg(f.programFolder.path())};
    QCOMPARE(f.logLines(), told);
    QVERIFY(f.join("Ann"));
}

// The title names the machine; shown, the window draws every menu separator
// (the File menu leads with one), selects no row, keeps its one size, and its
// user list follows the rows.
void TestConsole::windowAsShown()
{
    ConsoleFixture f;
    MainWindow &window = f.window();
    QVERIFY(QRegularExpression("^Tarnwick Server - \\d+\\.\\d+\\.\\d+\\.\\d+$")
                .match(window.windowTitle())
                .hasMatch());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const char *name : {"mnuFile", "mnuOptions"}) {
        auto *shown = f.find<QMenu>(name);
        shown->popup(window.geometry().center());
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        for (QAction *action : shown->actions())
            QVERIFY(shown->actionGeometry(action).height() > 0);
        shown->close();
    }
    QVERIFY(f.find<QMenu>("mnuFile")->actions().constFirst()->isSeparator());

    auto *list = f.find<QListWidget>("lstUsers");
    list->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(list->hasFocus());
    QCOMPARE(list->currentRow(), -1);
    QVERIFY(list->selectedItems().isEmpty());
    QCOMPARE(list->count(), 50);
    QCOMPARE(list->item(0)->text(), "EMPTY");
    f.onService([&] { f.table().setRow(49, QByteArray("\xA5") + "Bob [AW]"); });
    f.settle();
    QCOMPARE(list->item(49)->text(), "\u00A5Bob [AW]");
    // A burst of joins: the items follow at once, the painting catches up.
    f.onService([&] {
        for (int i = 0; i < 20; ++i)
            f.table().setRow(i, "Ann" + QByteArray::number(i));
    });
    f.settle();
    QCOMPARE(list->item(19)->text(), "Ann19");
    QTRY_VERIFY(list->updatesEnabled());

    const QSize size = window.size();
    window.resize(800, 600);
    QCOMPARE(window.size(), size);
    // Offscreen has no notification area: minimised, it stays visible.
    QVERIFY(!window.isTrayAvailable());
    window.showMinimized();
    QTRY_VERIFY(window.isMinimized());
    QVERIFY(window.isVisible());
    // Maximised, it goes back to its one layout.
    window.showMaximized();
    QTRY_VERIFY(!window.isMaximized() && window.isVisible());
    QCOMPARE(window.size(), size);
}

// Start-up fills the boxes from the program folder: the MOTD from motd.txt,
// Require Passwords from the settings, whose unusable lines are told in the
// log view, not in a box, and left alone. What is typed in the MOTD box is the
// running MOTD, not the file. The check box's caption fits; it and the server
// follow each other; a restart keeps it.
void TestConsole::startUpFilesFillTheBoxes()
{
    ConsoleFixture f(ConsoleFixture::Start::Later);
    f.writeProgramFile("motd.txt", "Welcome\r\nto the room\r\n");
    const QByteArray unusable = "[passwords]\nrequired=maybe\n";
    f.writeProgramFile("tarnwick-server.ini", unusable);
    QVERIFY(f.start().isEmpty());
    QCOMPARE(f.takeMessages(), QStringList());
    const QStringList told = f.logLines();
    QCOMPARE(told.size(), 1);
    QVERIFY2(told[0].contains("tarnwick-server.ini, line 2: required: \"maybe\""),
             qPrintable(told[0]));
    QCOMPARE(f.readProgramFile("tarnwick-server.ini"), unusable);

    auto *motd = f.find<QPlainTextEdit>("Text1");
    QCOMPARE(motd->toPlainText(), "Welcome\nto the room\n");
    motd->setPlainText("Hi\nthere");
    QCOMPARE(f.onService([&] { return f.api().motd(); }), QByteArray("Hi\r\nthere"));
    QCOMPARE(f.readProgramFile("motd.txt"), QByteArray("Welcome\r\nto the room\r\n"));

    auto *check = f.find<QCheckBox>("Check1");
    QStyleOptionButton option;
    option.initFrom(check);
    option.text = check->text();
    const QRect room = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check);
    const int text = check->fontMetrics().horizontalAdvance(check->text());
    QVERIFY2(text <= room.width(),
             qPrintable(QStringLiteral("%1 in %2").arg(text).arg(room.width())));

    const auto required = [&f] {
        return f.onService([&f] { return f.api().passwordsRequired(); });
    };
    QVERIFY(!check->isChecked() && !required());
    check->click();
    QVERIFY(required());
    QVERIFY(f.restart().isEmpty());
    check = f.find<QCheckBox>("Check1");
    QVERIFY(check->isChecked());
    f.onService([&f] { f.api().setPasswordsRequired(false); });
    f.settle();
    QVERIFY(!check->isChecked());
}

// Each panel lights with its lock, and goes out with it; while the locks are
// unknown the panels keep what they showed.
void TestConsole::keyLockPanels()
{
    ConsoleFixture f;
    const auto lit = [&f] {
        QList<bool> shown; // SCRL, NUM, CAPS
        for (const char *panel : {"panelScroll", "panelNum", "panelCaps"})
            shown.append(f.find<QLabel>(panel)->isEnabled());
        return shown;
    };
    f.window().setKeyLocksSource([] { return KeyLocks{true, false, true}; });
    f.window().setKeyLocksSource([] { return KeyLocks{false, true, false}; });
    QCOMPARE(lit(), (QList<bool>{false, true, false}));
    f.window().setKeyLocksSource([] { return KeyLocks{true, false, true}; });
    QCOMPARE(lit(), (QList<bool>{true, false, true}));
    f.window().setKeyLocksSource([] { return std::optional<KeyLocks>(); });
    QCOMPARE(lit(), (QList<bool>{true, false, true}));
}

void TestConsole::inputLineSpeaksToTheRoomAndExitEndsIt()
{
    ConsoleFixture f;
    auto client = f.connect();
    auto *input = f.find<QLineEdit>("txtInput");
    input->setText("hello \u00E9");
    QTest::keyClick(input, Qt::Key_Return);
    QCOMPARE(client->readLines(1), QList<QByteArray>{"Message\tServer: hello \xE9\t\r\n"});
    QCOMPARE(input->text(), QString());
    QCOMPARE(f.logLines(), QStringList{"Server: hello \u00E9"});

    auto ann = f.join("Ann");
    QSignalSpy quit(&f.app(), &ConsoleApp::quitRequested);
    f.click("Exit");
    QVERIFY(quit.wait());
    QVERIFY(ann->waitForDisconnect() && client->waitForDisconnect());
    QCOMPARE(f.rowOf("Ann"), -1);
}

// Log lines reach the window in batches; an event between them still comes
// after the lines before it and before the ones after it. The view keeps the
// latest lines only.
void TestConsole::logViewKeepsTheLatestLinesInTheirOrder()
{
    ConsoleFixture f;
    f.settle();
    QList<QByteArray> seen;
    QObject::connect(&f.app().client(), &OperatorClient::logLine,
                     [&seen](const QByteArray &text) { seen.append(text); });
    QObject::connect(&f.app().client(), &OperatorClient::userRowChanged,
                     [&seen](int, const QByteArray &row) { seen.append(row); });
    f.onService([&f] {
        f.chat().addOutputLine("one");
        f.chat().addOutputLine("two");
        f.table().setRow(40, "ghost");
        f.chat().addOutputLine("three");
    });
    QTRY_COMPARE(seen, (QList<QByteArray>{"one", "two", "ghost", "three"}));

    f.onService([&f] {
        for (int i = 0; i < MainWindow::LogViewLines + 100; ++i)
            f.chat().addOutputLine("line " + QByteArray::number(i));
        f.chat().addOutputLine("text\r\n"); // shows an empty line after it
    });
    f.settle();
    f.window().flushOutput();
    const QStringList lines = f.window().outputText().split('\n');
    QCOMPARE(lines.size(), MainWindow::LogViewLines);
    QCOMPARE(lines.mid(lines.size() - 3), (QStringList{"line 5099", "text", ""}));
}

// The announcement reaches every listed row that has a connection; an
// address is shown for a selected user only; the server file is named in a
// box titled with the selected row, and once made, the window shows its name
// and hides the bar.
void TestConsole::commandsOnTheListedRows()
{
    Room room;
    room.listed("amy", "amy [IG]", "127.0.0.1");
    room.unjoined("127.0.0.1");
    room.listed("bob", "bob [AW]", "127.0.0.2");
    room.f.onService([&] { room.f.table().setRow(40, "ghost"); }); // no connection: not sent
    room.f.dialogs.inputAnswers = {"Server restarts at 9 \u20AC"};
    room.f.click("Command1");
    QCOMPARE(room.f.dialogs.shown[0].text, "What would you like to say to the public?");
    for (const char *name : {"amy", "bob"})
        QCOMPARE(room.received(name), QByteArray("MSGBOX\tServer restarts at 9 \x80\r\n"));
    QCOMPARE(room.received(QByteArray()), QByteArray());
    QCOMPARE(room.f.logLines(), QStringList());

    for (const auto &[control, row, shown] : {std::tuple{"cmdGetIP", 2, "127.0.0.2"},
                                              std::tuple{"cmdGetIP", -1, "No user is selected."},
                                              std::tuple{"mnuGetIP", 7, "No user is selected."}}) {
        room.f.select(row);
        room.f.click(control);
        QCOMPARE(room.f.takeMessages(), QStringList{shown});
    }

    room.f.select(2);
    room.f.dialogs.inputAnswers = {"Tarnwick Hall"};
    room.f.click("mnumkserver");
    // Asked again while the file is being made: told so, no name asked.
    room.f.click("mnumkserver");
    QCOMPARE(room.f.dialogs.shown.size(), 2);
    QCOMPARE(room.f.dialogs.shown[0].title, "Who:bob [AW]");
    QCOMPARE(room.f.dialogs.shown[1].text,
             "A server file is being made already. Please wait until it is done.");
    QTRY_VERIFY(QFile::exists(room.f.programFile("Tarnwick Hall.tkl")));
    room.f.settle();
    QCOMPARE(room.f.find<QLabel>("Label2")->text(), "Tarnwick Hall");
    QVERIFY(room.f.find<QLabel>("PrBar")->isHidden());
}

void TestConsole::kickAndBanFindUser_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("selected");   // -1: none; else its row is the answer
    QTest::addColumn<QString>("answer"); // when nothing is selected
    QTest::addColumn<int>("found");      // -1: nobody
    QTest::addColumn<QString>("reason");
    QTest::newRow("default is the selected row") << "cmdBanUser" << 0 << "" << 0 << "";
    QTest::newRow("suffixed row never matches") << "mnuBanUser" << 1 << "" << -1 << "x";
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
    Room room;
    const QList<QByteArray> names{"bob", "amy", "\xA5mod", QByteArray()};
    room.listed("bob", "bob", "127.0.0.2");
    room.listed("amy", "amy [AW]", "127.0.0.3");
    room.listed("\xA5mod", "\xA5mod", "127.0.0.4");
    room.unjoined("127.0.0.5");
    const QString row = selected < 0 ? QString() : Codepage::toDisplay(room.f.onService([&] {
        return room.f.table().row(selected);
    }));
    room.f.settle();
    room.f.select(selected);
    room.f.dialogs.inputAnswers = {selected >= 0 ? row : answer, reason};

    room.f.click(qPrintable(control));
    room.f.settle(); // the user found
    room.f.settle(); // kicked or banned

    const QList<ScriptedDialogs::Shown> &shown = room.f.dialogs.shown;
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0].text,
             banning ? "Who would you like to Banning?" : "Who would you like to kick?");
    QCOMPARE(shown[0].title, QString("Who:" + row));
    QCOMPARE(shown[0].defaultAnswer, row);
    QCOMPARE(shown[1].text, found < 0 ? "No one in the chat has that name!"
                            : banning ? "For what reason are you Banning?"
                                      : "For what reason are you kicking?");
    const QByteArray notice =
        (banning ? "BANUSER\tThe Server\t" : "Kicked\tThe Server\t") + reason.toLatin1() + "\r\n";
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(room.received(names[i]), i == found ? notice : QByteArray());
    QCOMPARE(room.f.readProgramFile("ban.txt"),
             banning && found >= 0
                 ? QByteArray("\"127.0.0." + QByteArray::number(2 + found) + "\"\r\n")
                 : QByteArray());
    // The user stays connected until the client leaves.
    QVERIFY(found < 0 || room.f.onService([&] { return room.f.chat().isConnected(found); }));
}

// A box waiting for the operator holds nothing of the services: while the
// ban's first box is open, and this thread runs no events at all, the room
// chats on. A user who leaves, and whose entry is taken, before the reason is
// given is still the one banned; the newcomer is not told.
void TestConsole::boxesWaitingHoldNothing()
{
    Room room;
    room.listed("bob", "bob", "127.0.0.2");
    auto ann = room.f.join("Ann");
    RawClient cy{RawClient::Mode::Polled};
    QVERIFY(cy.connectTo(room.f.chatPort()) && cy.join("Cy"));
    bool heard = false;
    room.f.dialogs.inputAnswers = {"bob", "spam"};
    room.f.dialogs.whileInputOpen = [&](int shownBefore) {
        if (shownBefore == 0) {
            ann->sendLine("Message\tAnn: \thello");
            heard = cy.waitForLine("Message\tAnn: \thello\t\r\n", 3000);
            return;
        }
        room.clients.at("bob")->abort();
        QTRY_VERIFY(room.f.onService([&] { return room.f.table().slot(0).free; }));
        QCOMPARE(room.listed("carol", "carol", "127.0.0.3"), 0);
    };
    room.f.click("cmdBanUser");
    room.f.settle();
    room.f.settle();
    QVERIFY(heard);
    QCOMPARE(room.received("carol"), QByteArray());
    QCOMPARE(room.f.readProgramFile("ban.txt"), QByteArray("\"127.0.0.2\"\r\n"));
}

// A second click brings an open editor forward without reloading it; the
// sysop editor, closed by its close box, is made and loaded afresh.
void TestConsole::editorsOpenOnlyOnce()
{
    ConsoleFixture f;
    f.click("cmdUpdateMOTD");
    QPointer<QWidget> editor = f.app().motdEditor();
    QVERIFY(editor && editor->isVisible());
    auto *text = editor->findChild<QPlainTextEdit *>("txtMOTD");
    text->setPlainText("Tonight:\nquiz");
    f.click("cmdUpdateMOTD");
    QCOMPARE(f.app().motdEditor(), editor);
    QCOMPARE(text->toPlainText(), "Tonight:\nquiz");
    editor->findChild<QAbstractButton *>("cmdOk")->click();
    f.settle();
    QVERIFY(!f.app().motdEditor());
    QTRY_VERIFY(!editor);

    f.writeProgramFile("sysops.dat", "\r\nAnn\tann@x.org\tpw\r\n");
    f.click("cmdSysop");
    SysopEditor *first = f.app().sysopEditor();
    QVERIFY(first && first->isVisible());
    f.click("cmdSysop");
    QCOMPARE(f.app().sysopEditor(), first);
    f.writeProgramFile("sysops.dat", "\r\nAnn\tann@x.org\tpw\r\nBob\tbob@x.org\tpw\r\n");
    QPointer<QWidget> closed = first;
    first->close();
    f.click("cmdSysop");
    QVERIFY(f.app().sysopEditor() && f.app().sysopEditor() != first);
    QCOMPARE(f.app().sysopEditor()->records().size(), 2);
    QTRY_VERIFY(!closed);
}

// Real boxes: each is parented to the window that asked, so that the focus
// goes back there when it closes, not to the console.
void TestConsole::boxesBelongToTheWindowThatAsked()
{
    QApplication::setApplicationName(QStringLiteral("Tarnwick Server"));
    ConsoleFixture f(ConsoleFixture::Start::Now, ConsoleFixture::Boxes::Real);
    // The address box has room for its title, the title bar's icon and three
    // buttons.
    auto ann = f.join("Ann");
    f.select(f.rowOf("Ann"));
    const ShownBox address = closeBoxOpenedBy([&] { f.click("cmdGetIP"); });
    QCOMPARE(address.title, "Tarnwick Server");
    QCOMPARE(address.parent, &f.window());
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    QVERIFY2(address.width >= QFontMetrics(titleFont).horizontalAdvance(address.title) + 100,
             qPrintable(QString::number(address.width)));

    // The users window over an empty store: told at load, over the console.
    const ShownBox atLoad = closeBoxOpenedBy([&] { f.click("Command2"); });
    QCOMPARE(atLoad.parent, &f.window());
    QWidget *users = f.app().usersWindow();
    QVERIFY(users && users->isVisible());
    const ShownBox notFound =
        closeBoxOpenedBy([&] { users->findChild<QAbstractButton *>("Command1")->click(); });
    QCOMPARE(notFound.parent, users);

    f.click("cmdSysop");
    QWidget *sysops = f.app().sysopEditor();
    const ShownBox question =
        closeBoxOpenedBy([&] { sysops->findChild<QAbstractButton *>("cmdRemoveAll")->click(); });
    QCOMPARE(question.title, "Remove ALL users?");
    QCOMPARE(question.parent, sysops);
}

QTEST_MAIN(TestConsole)
// What the window adds and lifts is the ban list itself, and a ban made
// elsewhere shows while it is open.
void TestConsole::bansWindowAddsAndLiftsBans()
{
    ConsoleFixture f;
    f.writeProgramFile("ban.txt", "\"10.0.0.1\"\r\n");
    f.click("mnuBans");
    BansWindow *bans = f.app().bansWindow();
    QVERIFY(bans && bans->isVisible());
    auto *list = bans->findChild<QTreeWidget *>("lstBans");
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(4), "never");

    const auto add = [bans](const QString &target, const QString &duration) {
        bans->findChild<QLineEdit *>("txtTarget")->setText(target);
        bans->findChild<QLineEdit *>("txtDuration")->setText(duration);
        bans->findChild<QLineEdit *>("txtReason")->setText("spam");
        bans->findChild<QAbstractButton *>("cmdAdd")->click();
    };
    add("10.1.0.0/16", "2h");
    f.settle();
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(list->topLevelItem(1)->text(0), "10.1.0.0/16");
    QCOMPARE(list->topLevelItem(1)->text(1), "spam");
    QCOMPARE(list->topLevelItem(1)->text(2), "console");
    QVERIFY(list->topLevelItem(1)->text(4) != "never");
    QCOMPARE(f.readProgramFile("ban.txt"), QByteArray("\"10.0.0.1\"\r\n\"10.1.0.0/16\"\r\n"));

    add("10.1.0.0/99", "");
    add("10.2.0.0/16", "3 weeks");
    QCOMPARE(f.takeMessages().size(), 2);
    QCOMPARE(list->topLevelItemCount(), 2);

    QVERIFY(f.onService([&f] { return f.api().banAddress("10.3.0.9", std::nullopt, "").ok; }));
    f.settle();
    QCOMPARE(list->topLevelItemCount(), 3);

    list->topLevelItem(0)->setSelected(true);
    list->topLevelItem(1)->setSelected(true);
    bans->findChild<QAbstractButton *>("cmdRemove")->click();
    f.settle();
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(f.readProgramFile("ban.txt"), QByteArray("\"10.3.0.9\"\r\n"));
}

#include "tst_console.moc"
