#include "chatfixture.h"
#include "console/mainwindow.h"
#include "scripteddialogs.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>

namespace {
struct Console
{
    ChatFixture fixture;
    ScriptedDialogs dialogs;
    MainWindow window{*fixture.chat, dialogs};

    template <typename T> T *child(const char *name) { return window.findChild<T *>(name); }
};
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void widgetsHaveTheirCaptionsAndPlaces();
    void userListAndMotdBoxFollowTheServer();
    void busyPortIsReportedAndTheOtherServiceRuns();
    void inputLineSpeaksAndLogViewKeepsTheLatestLines();
    void minimisingWithoutTrayKeepsTheWindow();
};

void TestMainWindow::widgetsHaveTheirCaptionsAndPlaces()
{
    Console c;
    const struct
    {
        const char *name;
        const char *caption;
        QRect pixels; // twips / 15
    } widgets[] = {
        {"Frame1", "Users Online", {0, 0, 137, 249}},
        {"Frame2", "Server Commands", {144, 0, 137, 249}},
        {"Command1", "NOTIFY", {8, 72, 117, 25}},
        {"Check1", "Require Passwords", {8, 192, 113, 17}},
        {"Frame4", "MOTD", {288, 0, 265, 241}},
        {"txtOutput", "", {0, 248, 553, 129}},
        {"txtInput", "", {0, 376, 553, 19}},
        {"StatusBar1", "", {0, 400, 553, 17}},
    };
    QCOMPARE(c.window.objectName(), "frmMain");
    for (const auto &w : widgets) {
        auto *widget = c.child<QWidget>(w.name);
        QVERIFY2(widget, w.name);
        QCOMPARE(widget->geometry(), w.pixels);
        const char *caption = qobject_cast<QGroupBox *>(widget) ? "title" : "text";
        QCOMPARE(widget->property(caption).toString(), w.caption);
    }
}

void TestMainWindow::userListAndMotdBoxFollowTheServer()
{
    Console c;
    auto *list = c.child<QListWidget>("lstUsers");
    QCOMPARE(list->count(), 50);
    QCOMPARE(list->item(0)->text(), "EMPTY");
    c.fixture.table.setRow(49, "\xA5"
                               "Bob [AW]");
    QCOMPARE(list->item(49)->text(), "\u00A5Bob [AW]");

    auto *box = c.child<QPlainTextEdit>("Text1");
    box->setFocus();
    QTest::keyClicks(box, "Hi");
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClicks(box, "there");
    QCOMPARE(c.fixture.chat->motd(), QByteArray("Hi\r\nthere"));
}

void TestMainWindow::busyPortIsReportedAndTheOtherServiceRuns()
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
    QVERIFY(c.dialogs.messages()[0].text.contains("3068"));
    QVERIFY(c.dialogs.messages()[0].text.contains("already in use"));
    QVERIFY(QRegularExpression("^Tarnwick Server - \\d+\\.\\d+\\.\\d+\\.\\d+$")
                .match(c.window.windowTitle())
                .hasMatch());
    QCOMPARE(c.child<QPlainTextEdit>("Text1")->toPlainText(), "Welcome\nto the room\n");
}

void TestMainWindow::inputLineSpeaksAndLogViewKeepsTheLatestLines()
{
    Console c;
    auto client = c.fixture.connect();
    auto *input = c.child<QLineEdit>("txtInput");
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

void TestMainWindow::minimisingWithoutTrayKeepsTheWindow()
{
    Console c;
    c.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&c.window));
    QVERIFY(!c.window.isTrayAvailable()); // offscreen has no notification area
    c.window.showMinimized();
    QTest::qWait(50);
    QVERIFY(c.window.isVisible());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
