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
    void helpSummariesInOneColumn();
};

using Mode = Invocation::Mode;

void TestCommandLine::programOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QString>("dataFolder");
    const auto row = [](const char *name, const QStringList &arguments, Mode mode,
                        const QString &dataFolder = {}) {
        QTest::newRow(name) << arguments << mode << dataFolder;
    };
    row("nothing: the window", {}, Mode::Window);
    row("headless, data folder", {"--headless", "--data-dir", "/srv/chat"}, Mode::Headless,
        "/srv/chat");
    row("window, data folder", {"--data-dir=/srv/chat"}, Mode::Window, "/srv/chat");
    row("toolkit option", {"-platform", "offscreen"}, Mode::Window);
    row("short help", {"-h"}, Mode::Help);
    row("ctl help", {"ctl", "--help"}, Mode::Help);
    row("data folder missing", {"--data-dir"}, Mode::BadUsage);
    row("stray argument", {"start"}, Mode::BadUsage);
}

void TestCommandLine::programOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(Mode, mode);
    const Invocation invocation = parseCommandLine(QStringList{"tarnwick-server"} + arguments);
    QCOMPARE(invocation.mode, mode);
    QTEST(invocation.dataFolder, "dataFolder");
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
    QTest::addColumn<QJsonObject>("options");
    const auto row = [](const char *name, const QStringList &arguments, const QString &command,
                        const QStringList &sent = {}, const QString &dataFolder = {},
                        bool json = false, const QJsonObject &options = {}) {
        QTest::newRow(name) << arguments << command << sent << dataFolder << json << options;
    };
    row("data folder after ctl", {"--data-dir", "/d", "--json", "users"}, "users", {}, "/d", true);
    row("name with a space", {"kick", "bob smith"}, "kick", {"bob smith"});
    row("say joins its words", {"say", "hello", "all", "of", "you"}, "say", {"hello all of you"});
    row("say an empty line", {"say", ""}, "say", {""});
    row("motd set from a file", {"motd", "set", "new.txt"}, "motd set");
    row("text starting with a dash", {"say", "--", "-wink-"}, "say", {"-wink-"});
    row("ban options go to the server", {"ban", "Bob", "--for", "2h", "--reason", "flooding"},
        "ban", {"Bob"}, {}, false, {{"for", "2h"}, {"reason", "flooding"}});
}

void TestCommandLine::controlCommands()
{
    QFETCH(QStringList, arguments);
    const Invocation invocation =
        parseCommandLine(QStringList{"tarnwick-server", "ctl"} + arguments);
    QCOMPARE(invocation.mode, Mode::Control);
    QTEST(invocation.command->name, "command");
    QTEST(invocation.arguments, "sent");
    QTEST(invocation.dataFolder, "dataFolder");
    QTEST(invocation.json, "json");
    QTEST(invocation.options, "options");
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
