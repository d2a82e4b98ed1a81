#include "chatfixture.h"
#include "console/mainwindow.h"
#include "scripteddialogs.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void widgetsHaveTheirNamesCaptionsAndPlaces_data();
    void widgetsHaveTheirNamesCaptionsAndPlaces();
    void menusInOrder();
    void userListMirrorsTheTable();
    void loadShowsAddressAndMotdAndReportsABusyPort();
    void inputLineSpeaksToTheRoom();
    void logViewKeepsTheLatestLines();
    void logViewLaysOutOnlyWhatIsShown();
    void noticesNeverStack();
    void minimisingWithoutTrayKeepsTheWindow();
    void editingTheMotdBoxChangesWhatJoinersGet();
};

void TestMainWindow::widgetsHaveTheirNamesCaptionsAndPlaces_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("pixels");
    // Twips / 15.
    QTest::newRow("Frame1") << "Frame1" << "Users Online" << QRect(0, 0, 137, 249);
    QTest::newRow("lstUsers") << "lstUsers" << "" << QRect(8, 16, 121, 225);
    QTest::newRow("Frame2") << "Frame2" << "Server Commands" << QRect(144, 0, 137, 249);
    QTest::newRow("cmdUpdateMOTD") << "cmdUpdateMOTD" << "Update MOTD" << QRect(8, 16, 117, 25);
    QTest::newRow("cmdSysop") << "cmdSysop" << "Edit Sysop List" << QRect(8, 40, 117, 25);
    QTest::newRow("Command1") << "Command1" << "NOTIFY" << QRect(8, 72, 117, 25);
    QTest::newRow("cmdGetIP") << "cmdGetIP" << "Get Users IP" << QRect(8, 104, 117, 25);
    QTest::newRow("cmdBanUser") << "cmdBanUser" << "Ban User" << QRect(8, 136, 117, 25);
    QTest::newRow("Command2") << "Command2" << "User Search" << QRect(8, 168, 117, 25);
    QTest::newRow("Check1") << "Check1" << "Require Passwords" << QRect(8, 192, 113, 17);
    QTest::newRow("ShowPrBar") << "ShowPrBar" << "" << QRect(8, 208, 119, 15);
    QTest::newRow("PrBar") << "PrBar" << "" << QRect(0, 0, 0, 12);
    QTest::newRow("Label2") << "Label2" << "" << QRect(16, 224, 113, 17);
    QTest::newRow("Frame4") << "Frame4" << "MOTD" << QRect(288, 0, 265, 241);
    QTest::newRow("Text1") << "Text1" << "" << QRect(8, 16, 249, 217);
    QTest::newRow("txtOutput") << "txtOutput" << "" << QRect(0, 248, 553, 129);
    QTest::newRow("txtInput") << "txtInput" << "" << QRect(0, 376, 553, 19);
    QTest::newRow("StatusBar1") << "StatusBar1" << "" << QRect(0, 400, 553, 17);
}

void TestMainWindow::widgetsHaveTheirNamesCaptionsAndPlaces()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, pixels);
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->geometry(), pixels);
    QString text;
    if (auto *b = qobject_cast<QAbstractButton *>(widget))
        text = b->text();
    else if (auto *g = qobject_cast<QGroupBox *>(widget))
        text = g->title();
    QCOMPARE(text, caption);
    QCOMPARE(window.objectName(), QStringLiteral("frmMain"));
    QCOMPARE(window.centralWidget()->size(), QSize(553, 417));
}

void TestMainWindow::menusInOrder()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    const QList<QAction *> menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus[0]->text(), QStringLiteral("&File"));
    QCOMPARE(menus[1]->text(), QStringLiteral("&Options"));
    auto names = [](QMenu *menu) {
        QStringList list;
        for (QAction *a : menu->actions())
            list << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + "=" + a->text());
        return list;
    };
    QCOMPARE(names(menus[0]->menu()),
             (QStringList{"-", "mnumkserver=Make Server File", "Exit=E&xit"}));
    QCOMPARE(names(menus[1]->menu()),
             (QStringList{"KickUser=K&ick User", "mnuBanUser=Ban User", "-", "mnuGetIP=Get IP"}));
}

void TestMainWindow::userListMirrorsTheTable()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    auto *list = window.findChild<QListWidget *>("lstUsers");
    QCOMPARE(list->count(), 50);
    for (int i = 0; i < 50; ++i)
        QCOMPARE(list->item(i)->text(), QStringLiteral("EMPTY"));
    f.table.setRow(49, "\xA5" "Bob [AW]");
    QCOMPARE(list->item(49)->text(), QStringLiteral("\u00A5Bob [AW]"));
    f.table.setRow(49, ConnectionTable::EmptyRow);
    QCOMPARE(list->item(49)->text(), QStringLiteral("EMPTY"));
}

void TestMainWindow::loadShowsAddressAndMotdAndReportsABusyPort()
{
    ChatFixture f;
    f.writeProgramFile("motd.txt", "Welcome\r\nto the room\r\n");
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    QStringList started;
    window.addService({"login service", 3068, [&](QString *reason) {
                           started << "login";
                           *reason = "The address is already in use";
                           return false;
                       }});
    window.addService({"chat service", 3069, [&](QString *) {
                           started << "chat";
                           return true;
                       }});
    const QStringList failures = window.load();
    QCOMPARE(started, (QStringList{"login", "chat"}));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(dialogs.messages().size(), 1);
    QVERIFY(dialogs.messages().at(0).text.contains("3068"));
    QVERIFY(dialogs.messages().at(0).text.contains("already in use"));
    QVERIFY(QRegularExpression("^Tarnwick Server - \\d+\\.\\d+\\.\\d+\\.\\d+$")
                .match(window.windowTitle())
                .hasMatch());
    QCOMPARE(window.findChild<QPlainTextEdit *>("Text1")->toPlainText(),
             QStringLiteral("Welcome\nto the room\n"));
    QCOMPARE(f.chat->motd(), QByteArray("Welcome\r\nto the room\r\n"));
}

void TestMainWindow::inputLineSpeaksToTheRoom()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    auto client = f.connect();
    auto *input = window.findChild<QLineEdit *>("txtInput");
    input->setText(QStringLiteral("hello \u00E9"));
    QTest::keyClick(input, Qt::Key_Return);
    QCOMPARE(client->readLines(1), QList<QByteArray>{"Message\tServer: hello \xE9\t\r\n"});
    QCOMPARE(input->text(), QString());
    QTest::keyClick(input, Qt::Key_Return);
    QCOMPARE(client->readLines(1), QList<QByteArray>{"Message\tServer: \t\r\n"});
    window.flushOutput();
    QCOMPARE(window.outputText(), QStringLiteral("Server: hello \u00E9\nServer: "));
}

void TestMainWindow::logViewKeepsTheLatestLines()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    for (int i = 0; i < MainWindow::LogViewLines + 100; ++i) {
        f.chat->addOutputLine("line " + QByteArray::number(i));
        if (i == 10)
            window.flushOutput();
    }
    f.chat->addOutputLine("text\r\n"); // a text ending in CR LF shows an empty line after it
    window.flushOutput();
    const QStringList lines = window.outputText().split('\n');
    QCOMPARE(lines.size(), MainWindow::LogViewLines);
    QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("text"));
    QCOMPARE(lines.last(), QString());
    QCOMPARE(lines.at(lines.size() - 3), QStringLiteral("line 5099"));
}

namespace {
// Counts the lines the view really lays out (shapes), whoever asks for it.
class CountingLayout : public QPlainTextDocumentLayout
{
public:
    using QPlainTextDocumentLayout::QPlainTextDocumentLayout;
    QRectF blockBoundingRect(const QTextBlock &block) const override
    {
        if (block.layout() && block.layout()->lineCount() == 0)
            ++laidOut;
        return QPlainTextDocumentLayout::blockBoundingRect(block);
    }
    mutable int laidOut = 0;
};
} // namespace

// A busy room must not cost layout work per line: lines that scroll out of
// the view, or leave it for good, are never laid out, so an append costs the
// same after weeks as after a minute.
void TestMainWindow::logViewLaysOutOnlyWhatIsShown()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    auto *view = window.findChild<QPlainTextEdit *>("txtOutput");
    // The same view over a document whose layout counts; it keeps the view's settings.
    auto *document = new QTextDocument(view);
    auto *layout = new CountingLayout(document);
    document->setDocumentLayout(layout);
    document->setMaximumBlockCount(view->document()->maximumBlockCount());
    document->setDefaultFont(view->document()->defaultFont());
    view->setDocument(document);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const int batches = 4;
    for (int batch = 0; batch < batches; ++batch) {
        for (int i = 0; i < MainWindow::LogViewLines; ++i)
            f.chat->addOutputLine("batch " + QByteArray::number(batch) + " line " +
                                  QByteArray::number(i));
        window.flushOutput();
        QCoreApplication::processEvents();
    }
    QCOMPARE(document->blockCount(), MainWindow::LogViewLines);
    QCOMPARE(document->firstBlock().text(), QStringLiteral("batch 3 line 0"));
    QCOMPARE(document->lastBlock().text(), QStringLiteral("batch 3 line 4999"));
    // A screenful per batch at most, not the 20,000 lines that went through.
    QVERIFY2(layout->laidOut <= 50 * batches,
             qPrintable(QString::number(layout->laidOut) + " lines laid out"));
}

void TestMainWindow::noticesNeverStack()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    int depth = 0;
    dialogs.whileMessageOpen = [&] {
        ++depth;
        if (depth < 100)
            f.chat->notifyOperator(QStringLiteral("again %1").arg(depth));
        --depth;
    };
    f.chat->notifyOperator(QStringLiteral("first"));
    QCOMPARE(dialogs.messages().size(), 1);
    QCOMPARE(dialogs.messages().at(0).text, QStringLiteral("first"));
    window.flushOutput();
    QCOMPARE(window.outputText(), QStringLiteral("again 1"));
    f.chat->notifyOperator(QStringLiteral("later"));
    QCOMPARE(dialogs.messages().size(), 2);
}

void TestMainWindow::minimisingWithoutTrayKeepsTheWindow()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!window.isTrayAvailable()); // offscreen has no notification area
    window.showMinimized();
    QTest::qWait(50);
    QVERIFY(window.isVisible());
}

void TestMainWindow::editingTheMotdBoxChangesWhatJoinersGet()
{
    ChatFixture f;
    ScriptedDialogs dialogs;
    MainWindow window(*f.chat, dialogs);
    auto *box = window.findChild<QPlainTextEdit *>("Text1");
    box->setFocus();
    QTest::keyClicks(box, QStringLiteral("Hi"));
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClicks(box, QStringLiteral("there"));
    QCOMPARE(f.chat->motd(), QByteArray("Hi\r\nthere"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
