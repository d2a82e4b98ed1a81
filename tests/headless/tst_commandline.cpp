#include "headless/commandline.h"

#include <QJsonObject>
#include <QTest>

// What each command line asks for, and which ones are refused before anything
// is started or sent.
class TestCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void programOptions_data();
    void programOptions();
    void controlCommands_data();
    void controlCommands();
    void badControlUsage_data();
    void badControlUsage();
    void banOptionsGoToTheServer();
    void helpSummariesInOneColumn();
};

using Mode = Invocation::Mode;

void TestCommandLine::programOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QString>("dataFolder");
    QTest::newRow("nothing: the window") << QStringList{} << Mode::Window << "";
    QTest::newRow("headless") << QStringList{"--headless"} << Mode::Headless << "";
    QTest::newRow("headless, data folder")
        << QStringList{"--headless", "--data-dir", "/srv/chat"} << Mode::Headless << "/srv/chat";
    QTest::newRow("window, data folder")
        << QStringList{"--data-dir=/srv/chat"} << Mode::Window << "/srv/chat";
    QTest::newRow("toolkit option") << QStringList{"-platform", "offscreen"} << Mode::Window << "";
    QTest::newRow("help") << QStringList{"--help"} << Mode::Help << "";
    QTest::newRow("short help") << QStringList{"-h"} << Mode::Help << "";
    QTest::newRow("ctl help") << QStringList{"ctl", "--help"} << Mode::Help << "";
    QTest::newRow("version") << QStringList{"--version"} << Mode::Version << "";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << Mode::BadUsage << "";
    QTest::newRow("data folder missing") << QStringList{"--data-dir"} << Mode::BadUsage << "";
    QTest::newRow("stray argument") << QStringList{"start"} << Mode::BadUsage << "";
}

void TestCommandLine::programOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(Mode, mode);
    QFETCH(QString, dataFolder);
    const Invocation invocation = parseCommandLine(QStringList{"tarnwick-server"} + arguments);
    QCOMPARE(invocation.mode, mode);
    QCOMPARE(invocation.dataFolder, dataFolder);
    if (mode == Mode::BadUsage)
        QVERIFY(invocation.message.contains("--help"));
}

void TestCommandLine::controlCommands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("dataFolder");
    QTest::addColumn<bool>("json");
    QTest::newRow("status") << QStringList{"status"} << "status" << QStringList{} << "" << false;
    QTest::newRow("data folder after ctl") << QStringList{"--data-dir", "/d", "--json", "users"}
                                           << "users" << QStringList{} << "/d" << true;
    QTest::newRow("name with a space")
        << QStringList{"kick", "bob smith"} << "kick" << QStringList{"bob smith"} << "" << false;
    QTest::newRow("say joins its words") << QStringList{"say", "hello", "all", "of", "you"} << "say"
                                         << QStringList{"hello all of you"} << "" << false;
    QTest::newRow("say an empty line")
        << QStringList{"say", ""} << "say" << QStringList{""} << "" << false;
    QTest::newRow("motd") << QStringList{"motd"} << "motd" << QStringList{} << "" << false;
    QTest::newRow("motd set from a file")
        << QStringList{"motd", "set", "new.txt"} << "motd set" << QStringList{} << "" << false;
    QTest::newRow("sysops add") << QStringList{"sysops", "add", "Ann", "ann@example.org"}
                                << "sysops add" << QStringList{"Ann", "ann@example.org"} << ""
                                << false;
    QTest::newRow("passwords on") << QStringList{"passwords", "on"} << "passwords"
                                  << QStringList{"on"} << "" << false;
    QTest::newRow("log --follow") << QStringList{"log", "--follow"} << "log" << QStringList{} << ""
                                  << false;
    QTest::newRow("text starting with a dash")
        << QStringList{"say", "--", "-wink-"} << "say" << QStringList{"-wink-"} << "" << false;
}

void TestCommandLine::controlCommands()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, command);
    QFETCH(QStringList, sent);
    QFETCH(QString, dataFolder);
    QFETCH(bool, json);
    const Invocation invocation =
        parseCommandLine(QStringList{"tarnwick-server", "ctl"} + arguments);
    QCOMPARE(invocation.mode, Mode::Control);
    QCOMPARE(invocation.command->name, command);
    QCOMPARE(invocation.arguments, sent);
    QCOMPARE(invocation.dataFolder, dataFolder);
    QCOMPARE(invocation.json, json);
}

void TestCommandLine::badControlUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList{} << "ctl needs a command.";
    QTest::newRow("unknown command") << QStringList{"reboot"} << "no control command \"reboot\"";
    QTest::newRow("kick without a name")
        << QStringList{"kick"} << "Usage: tarnwick-server ctl kick NAME";
    QTest::newRow("ip with two names") << QStringList{"ip", "a", "b"} << "ip NAME";
    QTest::newRow("say nothing") << QStringList{"say"} << "say TEXT";
    QTest::newRow("passwords maybe") << QStringList{"passwords", "maybe"} << "passwords on|off";
    QTest::newRow("sysops add, no e-mail")
        << QStringList{"sysops", "add", "Ann"} << "sysops add NAME EMAIL";
    QTest::newRow("password on the command line")
        << QStringList{"sysops", "add", "Ann", "ann@example.org", "secret"} << "NAME EMAIL";
    QTest::newRow("motd set, two files") << QStringList{"motd", "set", "a", "b"} << "[FILE]";
    QTest::newRow("log without --follow") << QStringList{"log"} << "log --follow";
    QTest::newRow("--follow elsewhere") << QStringList{"status", "--follow"} << "--follow";
    QTest::newRow("unknown option") << QStringList{"status", "--force"} << "force";
    QTest::newRow("ban option elsewhere")
        << QStringList{"status", "--for", "2h"} << "The status command takes no --for.";
}

void TestCommandLine::badControlUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Invocation invocation =
        parseCommandLine(QStringList{"tarnwick-server", "ctl"} + arguments);
    QCOMPARE(invocation.mode, Mode::BadUsage);
    QVERIFY2(invocation.message.contains(message), qPrintable(invocation.message));
}

void TestCommandLine::banOptionsGoToTheServer()
{
    const Invocation ban = parseCommandLine(
        {"tarnwick-server", "ctl", "ban", "Bob", "--for", "2h", "--reason", "flooding"});
    QCOMPARE(ban.mode, Mode::Control);
    QCOMPARE(ban.arguments, QStringList{"Bob"});
    QCOMPARE(ban.options, (QJsonObject{{"for", "2h"}, {"reason", "flooding"}}));
}

// Each command's summary starts in the same column, after a space.
void TestCommandLine::helpSummariesInOneColumn()
{
    const QStringList lines = helpText().split('\n');
    for (const ControlProtocol::CommandForm &form : ControlProtocol::commands()) {
        const auto inColumn = [&](const QString &line) {
            return line.endsWith(form.summary) && line.size() - form.summary.size() == 28 &&
                   line.at(27) == ' ';
        };
        QVERIFY2(std::any_of(lines.begin(), lines.end(), inColumn), qPrintable(form.name));
    }
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
