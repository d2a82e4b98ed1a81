#include "notifysocket.h"
#include "platform/servicenotify.h"
#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <unistd.h>

// The real program without a window, in a data folder of its own on the
// fixed ports, operated through `tarnwick-server ctl` as a host would.
class TestHeadless : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void answersWithoutStartingAnything_data();
    void answersWithoutStartingAnything();
    void commandActsOnTheChatAndTheFiles_data();
    void commandActsOnTheChatAndTheFiles();
    void filesAndFollowersFollowTheCommands();
    void hangUpReloadsAndTerminateStops();
    void oneServerPerFolderUntilItIsKilled();

private:
    ProgramRun ctl(const QStringList &arguments, const QByteArray &input = {})
    {
        return m_server->ctl(arguments, input);
    }
    QJsonObject status();
    QString socketPath() const { return m_server->dataFile("tarnwick-server.sock"); }
    void writeDataFile(const QString &name, const QByteArray &bytes)
    {
        QVERIFY(writeFile(m_server->dataFile(name), bytes));
    }

    std::unique_ptr<HostedServer> m_server;
};

namespace {
// Ends (or has ended) normally with `code`.
bool ended(QProcess &process, int code)
{
    return (process.state() == QProcess::NotRunning || process.waitForFinished(10000)) &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == code;
}

// Starts the program in the background, as a host's shell would without a display.
bool launch(QProcess &process, const QStringList &arguments)
{
    process.setProcessEnvironment(withoutDisplay());
    process.start(QStringLiteral(TARNWICK_SERVER_PATH), arguments);
    return process.waitForStarted();
}
} // namespace

void TestHeadless::init()
{
    m_server = std::make_unique<HostedServer>(QStringLiteral(TARNWICK_SERVER_PATH));
    writeDataFile("motd.txt", "Welcome\r\n");
}

QJsonObject TestHeadless::status()
{
    const ProgramRun result = ctl({"--json", "status"});
    return QJsonDocument::fromJson(result.out).object().value("data").toObject();
}

void TestHeadless::answersWithoutStartingAnything_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("said"); // a part of standard output on success, else of error
    const auto row = [](const char *name, const QStringList &arguments, int exitCode,
                        const QByteArray &said) {
        QTest::newRow(name) << arguments << exitCode << said;
    };
    // Bad usage answers 2 even with no server running: nothing was sent.
    row("version", {"--version"}, 0, "tarnwick-server 1.0.0\n");
    row("help", {"--help"}, 0, "ctl [--data-dir DIR]");
    row("a command's help", {"ctl", "kick", "--help"}, 0,
        "Usage: tarnwick-server ctl [--data-dir DIR] [--json] kick NAME");
    row("unknown option", {"--frobnicate"}, 2, "Unknown option 'frobnicate'.");
    row("no password on standard input", {"ctl", "sysops", "add", "Ann", "ann@example.org"}, 2,
        "No password was given.");
    row("no server on the folder", {"ctl", "status"}, 3, "No server is running on ");
}

void TestHeadless::answersWithoutStartingAnything()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, said);
    if (arguments.value(0) == "ctl")
        arguments.insert(1, "--data-dir"), arguments.insert(2, m_server->data.path());
    const ProgramRun result = runProgram(QStringLiteral(TARNWICK_SERVER_PATH), arguments,
                                         m_server->working.path(), {}, withoutDisplay());
    QCOMPARE(result.exitCode, exitCode);
    const QByteArray &shown = exitCode == 0 ? result.out : result.err;
    const QByteArray &silent = exitCode == 0 ? result.err : result.out;
    QVERIFY2(shown.contains(said) && silent.isEmpty(), QByteArray(shown + silent));
}

namespace {
// A command while bob (row 0) and ann (row 1) are in the chat: what it answers,
// the line each of them is sent, and what becomes of the file it writes.
struct CommandCase
{
    QStringList command{};
    QByteArray input{};
    int exitCode = 0;
    QByteArray out{};
    QByteArray err{}; // a part of it; empty: none
    QByteArray bobGets{};
    QByteArray annGets{};
    QString file{};
    bool inWorkingDirectory = false; // else in the data folder
    bool fileBlocked = false;        // a folder stands where the file goes
    QByteArray content{};            // null: the file does not exist
    QStringList then{};              // a command after it, whose answer matches `shows`
    QString shows{};
    bool bobClosedAfterGrace = false; // bob ignores the notice: closed, ann sees him leave
};
} // namespace
Q_DECLARE_METATYPE(CommandCase)

void TestHeadless::commandActsOnTheChatAndTheFiles_data()
{
    QTest::addColumn<CommandCase>("c");
    const QByteArray noSuchUser = "No one in the chat has that name!";
    const QByteArray message = "Message\tServer: hello all\t\r\n";
    const QByteArray box = "MSGBOX\tMaintenance at noon\r\n";
    const auto row = [](const char *name, const CommandCase &c) { QTest::newRow(name) << c; };
    row("users", {.command = {"users"}, .out = "0\tbob\t127.0.0.1\n1\tann\t127.0.0.1\n"});
    row("ip", {.command = {"ip", "BOB"}, .out = "127.0.0.1\n"});
    row("say", {.command = {"say", "hello", "all"}, .bobGets = message, .annGets = message});
    row("notify",
        {.command = {"notify", "Maintenance", "at", "noon"}, .bobGets = box, .annGets = box});
    row("kick with a reason", {.command = {"kick", "BOB", "--reason", "be nice"},
                               .bobGets = "Kicked\tThe Server\tbe nice\r\n",
                               .bobClosedAfterGrace = true});
    row("kick without one", {.command = {"kick", "ann"}, .annGets = "Kicked\tThe Server\t\r\n"});
    row("ban", {.command = {"ban", "ann", "--reason", "spam"},
                .annGets = "BANUSER\tThe Server\tspam\r\n",
                .file = "ban.txt",
                .content = "\"127.0.0.1\"\r\n"});
    row("ban for a time", {.command = {"ban", "ann", "--reason", "spam", "--for", "1h"},
                           .out = "ann is banned.\n",
                           .annGets = "BANUSER\tThe Server\tspam\r\n",
                           .then = {"bans"},
                           .shows = "^127\\.0\\.0\\.1\tspam\tconsole\t\\S+\t\\d{4}-"});
    row("passwords on", {.command = {"passwords", "on"},
                         .out = "Require Passwords: on\n",
                         .file = "tarnwick-server.ini",
                         .content = "[passwords]\nrequired=true\n"});

    // Refused: the reason on standard error, nobody told, nothing written.
    const auto refused = [&](const char *name, const QStringList &command, const QByteArray &err,
                             const QString &file = {}, const QByteArray &input = {}) {
        row(name, {.command = command, .input = input, .exitCode = 1, .err = err, .file = file});
    };
    refused("kick nobody", {"kick", "carol"}, noSuchUser);
    refused("ban nobody", {"ban", "carol"}, noSuchUser, "ban.txt");
    row("ip of nobody, for a script",
        {.command = {"--json", "ip", "carol"},
         .exitCode = 1,
         .out = "{\"error\":\"No one in the chat has that name!\",\"ok\":false}\n",
         .err = noSuchUser});
    refused("remove a sysop nobody is", {"sysops", "remove", "nobody@example.org"},
            "No sysop has the e-mail address nobody@example.org.", "sysops.dat");
    refused("find an account nobody has", {"accounts", "find", "nobody"}, "User not found",
            "users.mdb");
    refused("account without a user name", {"accounts", "add", "--email", "x@example.org"},
            "An account needs --username.", "users.mdb", "pw\n");

    // Files that cannot be written: failed, and said so.
    const auto unwritable = [&](const char *name, const QStringList &command, const QByteArray &err,
                                const QString &file, const QByteArray &input = {}) {
        row(name, {.command = command,
                   .input = input,
                   .exitCode = 1,
                   .err = err,
                   .file = file,
                   .inWorkingDirectory = file == "motd.txt", // where the program keeps it
                   .fileBlocked = true});
    };
    row("ban.txt unwritable", {.command = {"ban", "bob"},
                               .exitCode = 1,
                               .err = "could not be stored in ban.txt, so it is not banned",
                               .bobGets = "BANUSER\tThe Server\t\r\n", // told all the same
                               .file = "ban.txt",
                               .fileBlocked = true});
    unwritable("motd.txt unwritable", {"motd", "set"},
               "The message of the day could not be saved to ", "motd.txt", "Be kind\n");
    unwritable("sysops.dat unwritable", {"sysops", "add", "Ann", "ann@example.org"},
               "The sysop list ", "sysops.dat", "secret\n");
    unwritable("users.mdb unwritable", {"accounts", "add", "--username", "dave"}, "users.mdb",
               "users.mdb", "pw\n");
    unwritable("settings unwritable", {"passwords", "on"},
               "Require Passwords is on now, but not saved: The settings file ",
               "tarnwick-server.ini");
    unwritable("server file unwritable", {"server-file", "Hall"}, "The server file ", "Hall.tkl");
}

void TestHeadless::commandActsOnTheChatAndTheFiles()
{
    QFETCH(CommandCase, c);
    const QString path = (c.inWorkingDirectory ? m_server->working : m_server->data)
                             .filePath(c.file.isEmpty() ? "-" : c.file);
    if (c.fileBlocked)
        QVERIFY(QDir().mkdir(path));
    if (c.bobClosedAfterGrace)
        writeDataFile("tarnwick-server.ini", "[limits]\nleaveGraceSeconds=1\n");
    QVERIFY(m_server->start());
    const auto bob = RawClient::joined(3069, "bob");
    const auto ann = RawClient::joined(3069, "ann");
    bob->drain(200);

    const ProgramRun result = ctl(c.command, c.input);
    QCOMPARE(result.exitCode, c.exitCode);
    QCOMPARE(result.out, c.out);
    QVERIFY2(c.err.isEmpty() ? result.err.isEmpty() : result.err.contains(c.err), result.err);
    for (auto [client, expected] :
         {std::pair{bob.get(), c.bobGets}, std::pair{ann.get(), c.annGets}}) {
        if (!expected.isEmpty())
            QCOMPARE(client->readLines(1).value(0), expected);
        if (client == bob.get() || !c.bobClosedAfterGrace)
            QCOMPARE(client->drain(100), QByteArray());
    }
    if (c.bobClosedAfterGrace) {
        QVERIFY(bob->waitForDisconnect());
        QCOMPARE(ann->readLines(4), leavingLines("bob"));
    }
    if (!c.then.isEmpty()) {
        const QString answer = QString::fromLatin1(ctl(c.then).out);
        QVERIFY2(QRegularExpression(c.shows).match(answer).hasMatch(), qPrintable(answer));
    }
    if (!c.file.isEmpty() && !c.fileBlocked) {
        QCOMPARE(QFile::exists(path), !c.content.isNull());
        if (!c.content.isNull())
            QCOMPARE(readFile(path), c.content);
    }
    QCOMPARE(ctl({"status"}).exitCode, 0);
}

void TestHeadless::filesAndFollowersFollowTheCommands()
{
    QVERIFY(m_server->start());
    // The daemon runs without the widget libraries.
    const QString proc = QStringLiteral("/proc/%1/").arg(m_server->process.processId());
    QCOMPARE(QFileInfo(QFile::symLinkTarget(proc + "exe")).fileName(), "tarnwick-serverd");
    const QByteArray mapped = readFile(proc + "maps");
    QVERIFY(mapped.contains("libQt6Core"));
    QVERIFY(!mapped.contains("libQt6Gui"));
    QVERIFY(!mapped.contains("libQt6Widgets"));

    // Lines on standard error carry their time when not under the journal.
    QTRY_VERIFY(m_server->errors().contains("Serving chat"));
    const QByteArray err = m_server->errors();
    QVERIFY2(
        QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* Serving chat "
                           "on TCP port 3069 and logins on TCP port 3068 from ")
            .match(QString::fromUtf8(err))
            .hasMatch(),
        err);

    QProcess follower;
    QVERIFY(launch(follower, {"ctl", "--data-dir", m_server->data.path(), "log", "--follow"}));

    // The MOTD editor's effect: motd.txt in the working directory, and the
    // next join gets it.
    const QString motdSource = m_server->workingFile("new-motd");
    QVERIFY(writeFile(motdSource, "Be kind\n"));
    QCOMPARE(ctl({"motd", "set", motdSource}).exitCode, 0);
    QCOMPARE(readFile(m_server->workingFile("motd.txt")), QByteArray("Be kind\r\n"));
    QCOMPARE(ctl({"motd"}).out, QByteArray("Be kind\n"));
    const auto carol = RawClient::connected(3069);
    carol->sendLine("Name\tcarol");
    QCOMPARE(carol->readLines(1), QList<QByteArray>{"MOTD\tBe kind\r\n"});
    QByteArray followed;
    QTRY_VERIFY((followed += follower.readAllStandardOutput()).contains("User list row 0: carol"));

    // reload: motd.txt of the data folder, as at start-up.
    writeDataFile("motd.txt", "Reloaded\r\n");
    QCOMPARE(ctl({"reload"}).exitCode, 0);
    QCOMPARE(ctl({"motd"}).out, QByteArray("Reloaded\r\n"));

    const auto sysopFile = [this] { return readFile(m_server->dataFile("sysops.dat")); };
    QCOMPARE(ctl({"sysops", "add", "Ann", "ann@example.org"}, "secret\n").exitCode, 0);
    QVERIFY(sysopFile().startsWith("\r\nAnn\tann@example.org\t$y$")); // stored hashed
    QCOMPARE(ctl({"sysops"}).out, QByteArray("Ann\tann@example.org\n"));
    QCOMPARE(ctl({"sysops", "remove", "ann@example.org"}).exitCode, 0);
    QCOMPARE(sysopFile(), QByteArray("\r\n"));

    // The users window's count, search and Add New User.
    QCOMPARE(ctl({"accounts", "count"}).out, QByteArray("There are no records in the database.\n"));
    QCOMPARE(m_server
                 ->ctl({"accounts", "add", "--username", "dave", "--email", "dave@example.org",
                        "--city", "Leeds"},
                       "hidden\n")
                 .exitCode,
             0);
    QCOMPARE(ctl({"accounts", "count"}).out, QByteArray("Tarnwick has 1 registered user.\n"));
    const QByteArray dave = ctl({"accounts", "find", "DAVE"}).out;
    QVERIFY2(dave.contains("\nCity: Leeds\n") && dave.contains("\nUserName: dave\n") &&
                 dave.contains("\nEmail: dave@example.org\n") && !dave.contains("hidden"),
             dave);

    // The server file, decoded: every byte raised by one, three bytes more.
    const ProgramRun made = ctl({"server-file", "Tarnwick Hall"});
    QCOMPARE(made.out, QByteArray("The server file Tarnwick Hall.tkl was written.\n"));
    QByteArray plain = readFile(m_server->dataFile("Tarnwick Hall.tkl"));
    plain.chop(3);
    for (char &byte : plain)
        --byte;
    QVERIFY2(QRegularExpression("^Tarnwick Hall\r\n\"[0-9.]+\"\r\n$")
                 .match(QString::fromLatin1(plain))
                 .hasMatch(),
             plain);

    // A follower sees the last line, then its stream end.
    QCOMPARE(ctl({"shutdown"}).out, QByteArray("The server is shutting down.\n"));
    QVERIFY(carol->waitForDisconnect());
    QVERIFY(ended(follower, 0));
    followed += follower.readAllStandardOutput();
    QVERIFY2(followed.endsWith("Shutting down.\n"), followed);
    QVERIFY(ended(m_server->process, 0));
}

void TestHeadless::hangUpReloadsAndTerminateStops()
{
    NotifySocket notify(m_server->workingFile("notify"));
    QVERIFY(notify.isOpen());
    writeDataFile("tarnwick-server.ini", "[limits]\nfloodBurst=lots\n[nonsense\n");
    QVERIFY(m_server->start());
    QCOMPARE(status().value("settingsProblems").toInt(), 2);
    const QByteArray told = ctl({"status"}).out;
    QVERIFY2(told.endsWith("\nSettings file problems: 2 (see the log)\n"), told);
    const auto bob = RawClient::joined(3069, "bob");
    writeDataFile("motd.txt", "Changed\r\n");
    const QByteArray settings = "[passwords]\nrequired=true\n\n[limits]\nfloodBurst=lots\n"
                                "connectionsPerAddress=2\ntrustedAddresses=\n";
    writeDataFile("tarnwick-server.ini", settings);
    QCOMPARE(::kill(m_server->process.processId(), SIGHUP), 0);
    QTRY_COMPARE(ctl({"motd"}).out, QByteArray("Changed\r\n"));
    // The settings file again: its problems told anew, Require Passwords
    // taken from it, and the file left as it is.
    const QJsonObject reloaded = status();
    QCOMPARE(reloaded.value("settingsProblems").toInt(), 1);
    QVERIFY(reloaded.value("passwordsRequired").toBool());
    QCOMPARE(readFile(m_server->dataFile("tarnwick-server.ini")), settings);
    RawClient ann;
    ann.connectTo(3069);
    ann.sendLine("Name\tann");
    QCOMPARE(ann.readLines(1), QList<QByteArray>{"MOTD\tChanged\r\n"});
    // The new limit is in force, and bob stayed through the reload.
    QVERIFY(RawClient::connected(3069)->waitForDisconnect());
    QCOMPARE(ctl({"users"}).out, QByteArray("0\tbob\t127.0.0.1\n1\tann\t127.0.0.1\n"));

    QCOMPARE(::kill(m_server->process.processId(), SIGTERM), 0);
    QVERIFY(bob->waitForDisconnect());
    QVERIFY(ended(m_server->process, 0));
    QVERIFY(!QFile::exists(socketPath()));
    const QByteArray err = m_server->errors();
    for (const QByteArray line :
         {"tarnwick-server.ini, line 2: floodBurst", // at the start
          "tarnwick-server.ini, line 3: \"[nonsense\"",
          "tarnwick-server.ini, line 5: floodBurst", // at the reload
          "Reloaded: limits/connectionsPerAddress 10 -> 2", "Shutting down."})
        QVERIFY2(err.contains(line), err);
    const QList<QByteArray> expected{"READY=1", "RELOADING=1", "READY=1", "STOPPING=1"};
    QCOMPARE(notify.firstLines(), serviceNotifySupported() ? expected : QList<QByteArray>());
}

void TestHeadless::oneServerPerFolderUntilItIsKilled()
{
    QVERIFY(m_server->start());
    QProcess second;
    QVERIFY(launch(second, {"--headless", "--data-dir", m_server->data.path()}));
    QVERIFY(ended(second, 1));
    const QByteArray err = second.readAllStandardError();
    const QByteArray refusal = "Another server is already running on the data folder " +
                               QFile::encodeName(m_server->data.path()) + '.';
    QVERIFY2(err.contains(refusal), err);
    QCOMPARE(ctl({"status"}).exitCode, 0);

    m_server->process.kill();
    QVERIFY(m_server->process.waitForFinished());
    QVERIFY(QFile::exists(socketPath()));
    const ProgramRun noServer = ctl({"status"});
    QCOMPARE(noServer.exitCode, 3);
    QCOMPARE(noServer.err, "tarnwick-server: No server is running on " +
                               QFile::encodeName(m_server->data.path()) + ".\n");
    QVERIFY(m_server->start()); // which waits for the ports and asks the new server for its status
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
