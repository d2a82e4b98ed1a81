#include "chatfixture.h"
#include "console/mainwindow.h"
#include "console/operatorcommands.h"
#include "core/codepage.h"
#include "platform/listener.h"
#include "scripteddialogs.h"
#include "serverfile/serverfilemaker.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>

class TestOperatorCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void announceReachesEveryListedRow_data();
    void announceReachesEveryListedRow();
    void showAddress_data();
    void showAddress();
    void kickAndBanFindUser_data();
    void kickAndBanFindUser();
    void banTwiceWithEmptyReason();
    void banFileUnwritableIsReportedAndNoticeSent();
    void userReplacedWhileReasonIsAsked_data();
    void userReplacedWhileReasonIsAsked();
    void updateMotdEditsRunningMotd();
    void updateMotdWithUnreadableFileOpensNothing();
    void makeServerFileShowsProgress();
};

namespace {

const QByteArray Ghost = QByteArrayLiteral("ghost");

// Lets a test act while an input box is "open" (the event loop runs then).
class HookedDialogs : public ScriptedDialogs
{
public:
    std::function<void(int)> whileInputOpen; // gets the input box's number, from 0

    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultAnswer) override
    {
        if (whileInputOpen)
            whileInputOpen(m_inputs);
        ++m_inputs;
        return ScriptedDialogs::inputBox(prompt, title, defaultAnswer);
    }

private:
    int m_inputs = 0;
};

struct Console
{
    ChatFixture fixture;
    HookedDialogs dialogs;
    MainWindow window{*fixture.chat, dialogs};
    OperatorCommands *commands = new OperatorCommands(window);
    QMap<QByteArray, std::shared_ptr<RawClient>> clients;
    QMap<QByteArray, int> indexes;

    // A connected client listed as the join would list it; an empty row
    // leaves it unjoined.
    int add(const QByteArray &name, const QByteArray &row, const QString &from)
    {
        int index = 0;
        while (!fixture.table.slot(index).free)
            ++index;
        const QByteArray key = row.isEmpty() ? QByteArray("<unjoined>") : name;
        clients[key] = fixture.connect(from);
        if (fixture.table.slot(index).free)
            qWarning("the client was not accepted at %d", index);
        fixture.table.slot(index).name = name;
        if (!row.isEmpty())
            fixture.table.setRow(index, row);
        indexes[key] = index;
        return index;
    }

    void trigger(const QString &objectName)
    {
        if (auto *button = window.findChild<QAbstractButton *>(objectName))
            button->click();
        else if (auto *action = window.findChild<QAction *>(objectName))
            action->trigger();
        else
            qFatal("no control %s", qPrintable(objectName));
    }

    QListWidget *users() { return window.findChild<QListWidget *>(QStringLiteral("lstUsers")); }
    void select(int index) { users()->setCurrentRow(index); }

    // What each client got, once the lines have had time to arrive.
    QMap<QByteArray, QByteArray> received()
    {
        QTest::qWait(100);
        QMap<QByteArray, QByteArray> all;
        for (auto it = clients.cbegin(); it != clients.cend(); ++it)
            all[it.key()] = it.value()->readFor(0);
        return all;
    }
    QByteArray banFile() const
    {
        QFile file(fixture.programFile(QStringLiteral("ban.txt")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
};

QList<QWidget *> motdEditors()
{
    QList<QWidget *> found;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("frmEditMOTD") && widget->isVisible())
            found.append(widget);
    }
    return found;
}

} // namespace

void TestOperatorCommands::announceReachesEveryListedRow_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("text") << QStringLiteral("Server restarts at 9 \u20AC")
                          << QByteArray("MSGBOX\tServer restarts at 9 \x80\r\n");
    QTest::newRow("empty") << QString() << QByteArray("MSGBOX\t\r\n");
}

void TestOperatorCommands::announceReachesEveryListedRow()
{
    QFETCH(QString, answer);
    QFETCH(QByteArray, line);
    Console c;
    c.add("bob", "bob", QStringLiteral("127.0.0.1"));
    c.add("amy", "amy [IG]", QStringLiteral("127.0.0.1"));
    c.add("", "", QStringLiteral("127.0.0.1"));
    // A listed row whose socket is gone: the send fails and is skipped.
    c.fixture.table.setRow(40, Ghost);
    c.dialogs.inputAnswers = {answer};

    c.trigger(QStringLiteral("Command1"));

    QCOMPARE(c.dialogs.shown.size(), 1);
    QCOMPARE(c.dialogs.shown.first().text,
             QStringLiteral("What would you like to say to the public?"));
    QCOMPARE(c.dialogs.shown.first().title, QStringLiteral("What:"));
    QCOMPARE(c.dialogs.shown.first().defaultAnswer, QString());
    const auto received = c.received();
    QCOMPARE(received["bob"], line);
    QCOMPARE(received["amy"], line);
    QCOMPARE(received["<unjoined>"], QByteArray());
    c.window.flushOutput();
    QCOMPARE(c.window.outputText(), QString());
}

void TestOperatorCommands::showAddress_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("shown");
    QTest::newRow("button") << QStringLiteral("cmdGetIP") << true << QStringLiteral("127.0.0.2");
    QTest::newRow("menu") << QStringLiteral("mnuGetIP") << true << QStringLiteral("127.0.0.2");
    QTest::newRow("button, no row")
        << QStringLiteral("cmdGetIP") << false << QStringLiteral("No user is selected.");
    QTest::newRow("menu, no row") << QStringLiteral("mnuGetIP") << false
                                  << QStringLiteral("No user is selected.");
}

void TestOperatorCommands::showAddress()
{
    QFETCH(QString, trigger);
    QFETCH(bool, selected);
    QFETCH(QString, shown);
    Console c;
    c.add("amy", "amy", QStringLiteral("127.0.0.1"));
    const int bob = c.add("bob", "bob [AW]", QStringLiteral("127.0.0.2"));
    if (selected)
        c.select(bob);

    c.trigger(trigger);

    QCOMPARE(c.dialogs.shown.size(), 1);
    const ScriptedDialogs::Shown &box = c.dialogs.shown.first();
    QCOMPARE(box.kind, ScriptedDialogs::Shown::Message);
    QCOMPARE(box.text, shown);
    QCOMPARE(box.title, QString());
}

void TestOperatorCommands::kickAndBanFindUser_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<bool>("withUnjoined");
    QTest::addColumn<QByteArray>("selected"); // a client's name, or empty
    QTest::addColumn<QString>("answer");      // "<default>" accepts the default
    QTest::addColumn<QByteArray>("found");    // the client that gets the notice, if any

    const QString byDefault = QStringLiteral("<default>");
    for (const QString &trigger :
         {QStringLiteral("KickUser"), QStringLiteral("cmdBanUser"), QStringLiteral("mnuBanUser")}) {
        const QByteArray t = trigger.toLatin1();
        QTest::addRow("%s: name in other case", t.constData())
            << trigger << true << QByteArray() << QStringLiteral("BOB") << QByteArray("bob");
        QTest::addRow("%s: default is the selected row", t.constData())
            << trigger << true << QByteArray("bob") << byDefault << QByteArray("bob");
        QTest::addRow("%s: suffixed row never matches", t.constData())
            << trigger << true << QByteArray("amy") << byDefault << QByteArray();
        QTest::addRow("%s: moderator mark is part of the name", t.constData())
            << trigger << true << QByteArray() << QStringLiteral("\u00A5MOD")
            << QByteArray("\xA5mod");
        QTest::addRow("%s: no prefix match", t.constData())
            << trigger << true << QByteArray() << QStringLiteral("bo") << QByteArray();
        QTest::addRow("%s: empty answer finds the unjoined", t.constData())
            << trigger << true << QByteArray() << QString() << QByteArray("<unjoined>");
        QTest::addRow("%s: empty answer, nobody unjoined", t.constData())
            << trigger << false << QByteArray() << QString() << QByteArray();
    }
}

void TestOperatorCommands::kickAndBanFindUser()
{
    QFETCH(QString, trigger);
    QFETCH(bool, withUnjoined);
    QFETCH(QByteArray, selected);
    QFETCH(QString, answer);
    QFETCH(QByteArray, found);
    const bool banning = trigger != QLatin1String("KickUser");

    Console c;
    c.add("bob", "bob", QStringLiteral("127.0.0.2"));
    c.add("amy", "amy [AW]", QStringLiteral("127.0.0.3"));
    c.add("\xA5mod", "\xA5mod", QStringLiteral("127.0.0.4"));
    if (withUnjoined)
        c.add("", "", QStringLiteral("127.0.0.5"));
    const QMap<QByteArray, QByteArray> addresses{{"bob", "127.0.0.2"},
                                                 {"amy", "127.0.0.3"},
                                                 {"\xA5mod", "127.0.0.4"},
                                                 {"<unjoined>", "127.0.0.5"}};
    QString selectedRow;
    if (!selected.isEmpty()) {
        c.select(c.indexes[selected]);
        selectedRow = Codepage::toDisplay(c.fixture.table.row(c.indexes[selected]));
    }
    c.dialogs.inputAnswers = {answer == QLatin1String("<default>") ? selectedRow : answer,
                              QStringLiteral("spam")};

    c.trigger(trigger);

    const ScriptedDialogs::Shown &who = c.dialogs.shown.first();
    QCOMPARE(who.text, banning ? QStringLiteral("Who would you like to Banning?")
                               : QStringLiteral("Who would you like to kick?"));
    QCOMPARE(who.title, QStringLiteral("Who:") + selectedRow);
    QCOMPARE(who.defaultAnswer, selectedRow);

    if (found.isEmpty()) {
        QCOMPARE(c.dialogs.shown.size(), 2);
        const ScriptedDialogs::Shown &note = c.dialogs.shown.last();
        QCOMPARE(note.kind, ScriptedDialogs::Shown::Message);
        QCOMPARE(note.text, QStringLiteral("No one in the chat has that name!"));
        QCOMPARE(note.title, QStringLiteral("Note:"));
        QCOMPARE(note.icon, Dialogs::Icon::Information);
        for (const QByteArray &got : c.received())
            QCOMPARE(got, QByteArray());
        QCOMPARE(c.banFile(), QByteArray("<none>"));
        return;
    }

    QCOMPARE(c.dialogs.shown.size(), 2);
    const ScriptedDialogs::Shown &why = c.dialogs.shown.last();
    QCOMPARE(why.text, banning ? QStringLiteral("For what reason are you Banning?")
                               : QStringLiteral("For what reason are you kicking?"));
    QCOMPARE(why.title, QStringLiteral("Reason:"));
    QCOMPARE(why.defaultAnswer, QString());

    const QByteArray notice = banning ? QByteArray("BANUSER\tThe Server\tspam\r\n")
                                      : QByteArray("Kicked\tThe Server\tspam\r\n");
    const auto received = c.received();
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QCOMPARE(it.value(), it.key() == found ? notice : QByteArray());
    QCOMPARE(c.banFile(), banning ? '"' + addresses[found] + "\"\r\n" : QByteArray("<none>"));
    // The user stays connected until the client leaves.
    QVERIFY(!c.fixture.table.slot(c.indexes[found]).free);
    QVERIFY(c.fixture.chat->isConnected(c.indexes[found]));
}

void TestOperatorCommands::banTwiceWithEmptyReason()
{
    Console c;
    c.add("bob", "bob", QStringLiteral("127.0.0.2"));
    c.dialogs.inputAnswers = {QStringLiteral("bob"), QString(), QStringLiteral("Bob"), QString()};

    c.trigger(QStringLiteral("cmdBanUser"));
    c.trigger(QStringLiteral("mnuBanUser"));

    QCOMPARE(c.banFile(), QByteArray("\"127.0.0.2\"\r\n\"127.0.0.2\"\r\n"));
    QCOMPARE(c.received()["bob"], QByteArray("BANUSER\tThe Server\t\r\nBANUSER\tThe Server\t\r\n"));
    QVERIFY(c.dialogs.messages().isEmpty());
}

void TestOperatorCommands::banFileUnwritableIsReportedAndNoticeSent()
{
    Console c;
    c.add("bob", "bob", QStringLiteral("127.0.0.2"));
    QVERIFY(QDir(c.fixture.config.programFolder).mkpath(QStringLiteral("ban.txt/keep")));
    c.dialogs.inputAnswers = {QStringLiteral("bob"), QStringLiteral("spam")};

    c.trigger(QStringLiteral("cmdBanUser"));

    QCOMPARE(c.dialogs.messages().size(), 1);
    QCOMPARE(c.dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QVERIFY(c.dialogs.messages().first().text.contains(QStringLiteral("127.0.0.2")));
    QCOMPARE(c.received()["bob"], QByteArray("BANUSER\tThe Server\tspam\r\n"));
}

void TestOperatorCommands::userReplacedWhileReasonIsAsked_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("kick") << QStringLiteral("KickUser");
    QTest::newRow("ban") << QStringLiteral("cmdBanUser");
}

void TestOperatorCommands::userReplacedWhileReasonIsAsked()
{
    QFETCH(QString, trigger);
    Console c;
    const int bob = c.add("bob", "bob", QStringLiteral("127.0.0.2"));
    c.dialogs.inputAnswers = {QStringLiteral("bob"), QStringLiteral("spam")};
    c.dialogs.whileInputOpen = [&](int input) {
        if (input != 1)
            return;
        // bob leaves and carol takes his index before the reason is given.
        c.clients.take("bob")->abort();
        QTRY_VERIFY(c.fixture.table.slot(bob).free);
        QCOMPARE(c.add("carol", "carol", QStringLiteral("127.0.0.3")), bob);
    };

    c.trigger(trigger);

    QCOMPARE(c.received()["carol"], QByteArray());
    // The ban still holds the address of the user the operator chose.
    if (trigger == QLatin1String("cmdBanUser"))
        QCOMPARE(c.banFile(), QByteArray("\"127.0.0.2\"\r\n"));
}

void TestOperatorCommands::updateMotdEditsRunningMotd()
{
    Console c;
    QFile file(c.fixture.workingFile(QStringLiteral("motd.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Welcome\r\n");
    file.close();

    c.trigger(QStringLiteral("cmdUpdateMOTD"));
    QCOMPARE(motdEditors().size(), 1);
    auto *text = motdEditors().first()->findChild<QPlainTextEdit *>(QStringLiteral("txtMOTD"));
    QCOMPARE(text->toPlainText(), QStringLiteral("Welcome\n"));
    text->setPlainText(QStringLiteral("Tonight:\nquiz"));
    // A second click brings the open editor forward without reloading it.
    c.trigger(QStringLiteral("cmdUpdateMOTD"));
    QCOMPARE(motdEditors().size(), 1);
    QCOMPARE(text->toPlainText(), QStringLiteral("Tonight:\nquiz"));

    motdEditors().first()->findChild<QAbstractButton *>(QStringLiteral("cmdOk"))->click();

    QVERIFY(motdEditors().isEmpty());
    QCOMPARE(c.fixture.chat->motd(), QByteArray("Tonight:\r\nquiz"));
    QCOMPARE(c.window.findChild<QPlainTextEdit *>(QStringLiteral("Text1"))->toPlainText(),
             QStringLiteral("Tonight:\nquiz"));
    QCOMPARE(c.fixture.readWorkingFile(QStringLiteral("motd.txt")),
             QByteArray("Tonight:\r\nquiz\r\n"));

    // The next client to join gets the new text.
    auto zoe = c.fixture.connect();
    zoe->sendLine("Name\tzoe");
    QTRY_VERIFY(zoe->socket().bytesAvailable() >= 20);
    QVERIFY(zoe->readFor(0).startsWith("MOTD\tTonight:\r\nquiz\r\n"));

    // Opened again before the closed one is deleted: a fresh editor, loaded anew.
    c.trigger(QStringLiteral("cmdUpdateMOTD"));
    QCOMPARE(motdEditors().size(), 1);
    QCOMPARE(motdEditors()
                 .first()
                 ->findChild<QPlainTextEdit *>(QStringLiteral("txtMOTD"))
                 ->toPlainText(),
             QStringLiteral("Tonight:\nquiz\n"));
}

void TestOperatorCommands::updateMotdWithUnreadableFileOpensNothing()
{
    Console c;
    QVERIFY(QDir(c.fixture.config.workingDirectory).mkpath(QStringLiteral("motd.txt/keep")));

    c.trigger(QStringLiteral("cmdUpdateMOTD"));

    QCOMPARE(c.dialogs.messages().size(), 1);
    QVERIFY(motdEditors().isEmpty());
}

void TestOperatorCommands::makeServerFileShowsProgress()
{
    Console c;
    c.select(c.add("bob", "bob", QStringLiteral("127.0.0.2")));
    auto *frame = c.window.findChild<QWidget *>(QStringLiteral("ShowPrBar"));
    auto *bar = c.window.findChild<QLabel *>(QStringLiteral("PrBar"));
    auto *label = c.window.findChild<QLabel *>(QStringLiteral("Label2"));
    QList<int> widths;
    bool visibleThroughout = true;
    connect(&c.commands->serverFileMaker(), &ServerFileMaker::barAdvanced, this, [&] {
        // Looked at on the next advance: the console has moved the bar by then.
        visibleThroughout = visibleThroughout && !bar->isHidden();
        widths << bar->width();
    });
    c.dialogs.inputAnswers = {QStringLiteral("Tarnwick Hall")};

    c.trigger(QStringLiteral("mnumkserver"));

    const ScriptedDialogs::Shown &asked = c.dialogs.shown.first();
    QCOMPARE(asked.text, QStringLiteral("Enter a Name for your server. Please be unique and avoid "
                                        "naming it after a state, as others may have already "
                                        "done this."));
    QCOMPARE(asked.title, QStringLiteral("Who:bob"));
    QCOMPARE(asked.defaultAnswer, QStringLiteral("My Server"));
    const QByteArray plain = "Tarnwick Hall\r\n\"" + Listener::localAddress() + "\"\r\n";
    QFile file(c.fixture.programFile(QStringLiteral("Tarnwick Hall.tkl")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), plain.size() + 3);
    QCOMPARE(label->text(), QStringLiteral("Tarnwick Hall"));
    QVERIFY(visibleThroughout);
    QCOMPARE(widths.size(), plain.size()); // under 50 bytes: at every position
    QVERIFY(std::is_sorted(widths.cbegin(), widths.cend()));
    QVERIFY(widths.last() > 0 && widths.last() <= frame->width());
    QVERIFY(bar->isHidden());
    QCOMPARE(bar->width(), 0);
}

QTEST_MAIN(TestOperatorCommands)
#include "tst_operatorcommands.moc"
