#include "accounts/usersdatabase.h"
#include "consolefixture.h"
#include "filefault.h"
#include "programrun.h"

#include <QAbstractButton>
#include <QDir>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QTest>

#include <array>

// The files and folders the server keeps, each broken in the ways that can be
// made here: the server does not crash, overwrites no file it could not read,
// tells the operator once and serves on.
class TestBrokenFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void chatServesOnBesideABrokenFile_data();
    void chatServesOnBesideABrokenFile();
    void savingOverABrokenFileIsRefused_data();
    void savingOverABrokenFileIsRefused();
    void brokenWorkingDirectory_data();
    void brokenWorkingDirectory();
    void logProblemIsToldAgainOnlyAfterItWasFixed();
    void programServesWithEveryFileBroken();
};

namespace {
const QByteArray Kept = QByteArrayLiteral("kept line\r\n");

// The console as the program puts it together, on ephemeral ports, with
// "Require Passwords" ticked. start() is start-up: the files are broken first.
struct Console : ConsoleFixture
{
    Console() : ConsoleFixture(Start::Later) { click("Check1"); }
    quint16 loginPort()
    {
        return onService([this] { return app().services().core().login().port(); });
    }

    QString pathOf(const QString &file) const
    {
        // The log is kept in the working directory, the rest beside the program.
        return file == QLatin1String("log.txt") ? workingFile(file) : programFile(file);
    }

    // Message boxes and log-view lines that speak of `file`.
    int noticesAbout(const QString &file)
    {
        int count = 0;
        for (const ScriptedDialogs::Shown &shown : dialogs.messages())
            count += shown.text.contains(file) ? 1 : 0;
        for (const QString &line : logLines())
            count += line.contains(file) ? 1 : 0;
        return count;
    }
};

// The bytes of a users store holding one record.
QByteArray usersStore()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("users.mdb"));
    {
        std::unique_ptr<UsersDatabase> store = UsersDatabase::open(path, nullptr);
        UserRecord record;
        record[UserRecord::UserName] = "bob";
        record[UserRecord::Password] = "secret";
        if (!store || !store->addUser(record))
            qFatal("no users store to start from");
    }
    return readFile(path);
}

} // namespace

void TestBrokenFiles::chatServesOnBesideABrokenFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("notices");

    // How often the operator is told, for each fault in this order; a
    // registration that cannot be stored is told once, though both requests fail.
    const std::array faults{Fault::Missing, Fault::Directory, Fault::DiskError, Fault::Garbage,
                            Fault::Immutable};
    const char *faultNames[] = {"missing", "a directory", "disk error", "binary", "immutable"};
    const QList<std::pair<const char *, std::array<int, 5>>> files{
        {"log.txt", {0, 1, 1, 0, 1}},   {"ban.txt", {0, 1, 1, 0, 0}},
        {"motd.txt", {0, 1, 1, 0, 0}},  {"sysops.dat", {0, 1, 1, 0, 0}},
        {"users.mdb", {0, 1, 1, 1, 1}},
    };
    for (const auto &[file, notices] : files) {
        for (size_t i = 0; i < faults.size(); ++i)
            QTest::addRow("%s %s", file, faultNames[i])
                << QString::fromLatin1(file) << faults[i] << notices[i];
    }
}

void TestBrokenFiles::chatServesOnBesideABrokenFile()
{
    QFETCH(QString, file);
    QFETCH(Fault, fault);
    Console c;
    const QString path = c.pathOf(file);
    if (!FileFault::apply(path, fault, file == QLatin1String("users.mdb") ? usersStore() : Kept))
        QSKIP("this file system does not take the immutable flag");
    ImmutableGuard guard(path);
    const QByteArray before = FileFault::snapshot(path);
    c.start();

    // The login service: a check and a registration against the users store.
    const auto login = RawClient::connected(c.loginPort());
    login->sendLine("VALIDATE\tann\tpw");
    QCOMPARE(login->readLines(1), QList<QByteArray>{"REJECTED\r\n"});
    login->sendLine("NEWUSER\tAnn\tLee\t1 Road\t\tTown\tST\t1\tLand\tann\tpw\tisp\tfast\t"
                    "ann@x.org\tyes\tno");
    const bool storable = file != QLatin1String("users.mdb") || fault == Fault::Missing;
    QCOMPARE(login->readLines(1), QList<QByteArray>{storable ? "ACCEPT\r\n" : "DECLINE\r\n"});

    auto ann = c.join("Ann");
    auto bob = c.join("Bob", QStringLiteral("127.0.0.2"));
    ann->drain();
    ann->sendLine("Message\tAnn: \thello");
    QCOMPARE(ann->readLines(1), QList<QByteArray>{"Message\tAnn: \thello\t\r\n"});
    QCOMPARE(bob->readLines(1), QList<QByteArray>{"Message\tAnn: \thello\t\r\n"});
    // A later join reads the ban list again; the operator is not told twice.
    auto cy = c.join("Cy", QStringLiteral("127.0.0.3"));
    QVERIFY(c.rowOf("Cy") >= 0);
    ann->drain();
    bob->drain();
    cy->sendLine("PM\tAnn\tpsst\tCy");
    QCOMPARE(ann->readLines(1), QList<QByteArray>{"PM\tCy\tpsst\r\n"});
    // The sysop list is read at each request.
    const QByteArray denied =
        "STATUSTEXT\t255\tModerator Privlidges Denied - You have been logged.\r\n";
    bob->sendLine("RequestOP\tBob\tbob@x.org\tpw");
    bob->sendLine("RequestOP\tBob\tbob@x.org\tpw");
    QCOMPARE(bob->readLines(2), (QList<QByteArray>{denied, denied}));

    QByteArray motd;
    if (file == QLatin1String("motd.txt") && fault == Fault::Garbage)
        motd = FileFault::garbage();
    else if (file == QLatin1String("motd.txt") && fault == Fault::Immutable)
        motd = Kept;
    cy->sendLine("MOTD");
    const QByteArray motdLine = "MOTD\t" + motd + "\r\n";
    QCOMPARE(cy->readBytes(motdLine.size()), motdLine);

    if (fault == Fault::Garbage)
        QVERIFY(FileFault::snapshot(path).startsWith(before)); // the log appends
    else if (fault != Fault::Missing)
        QCOMPARE(FileFault::snapshot(path), before);
    QTEST(c.noticesAbout(file), "notices");
}

void TestBrokenFiles::savingOverABrokenFileIsRefused_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("notices");

    // The editor does not open over a file it cannot read.
    QTest::newRow("MOTD editor, a directory") << "motd.txt" << Fault::Directory << 1;
    QTest::newRow("MOTD editor, disk error") << "motd.txt" << Fault::DiskError << 1;
    QTest::newRow("MOTD editor, immutable") << "motd.txt" << Fault::Immutable << 1;
    // Told when the editor opens, and again when it will not save.
    QTest::newRow("sysop editor, a directory") << "sysops.dat" << Fault::Directory << 2;
    QTest::newRow("sysop editor, disk error") << "sysops.dat" << Fault::DiskError << 2;
    QTest::newRow("sysop editor, immutable") << "sysops.dat" << Fault::Immutable << 1;
    // The failed ban is told; a list that cannot be read was told at the join.
    QTest::newRow("console ban, a directory") << "ban.txt" << Fault::Directory << 2;
    QTest::newRow("console ban, disk error") << "ban.txt" << Fault::DiskError << 2;
    QTest::newRow("console ban, immutable") << "ban.txt" << Fault::Immutable << 1;
}

void TestBrokenFiles::savingOverABrokenFileIsRefused()
{
    QFETCH(QString, file);
    QFETCH(Fault, fault);
    QFETCH(int, notices);
    Console c;
    // The MOTD editor works in the working directory.
    const QString path = file == QLatin1String("motd.txt") ? c.workingFile(file) : c.pathOf(file);
    const QByteArray content =
        file == QLatin1String("sysops.dat") ? QByteArray("\r\nAnn\tann@x.org\tpw\r\n") : Kept;
    if (!FileFault::apply(path, fault, content))
        QSKIP("this file system does not take the immutable flag");
    ImmutableGuard guard(path);
    const QByteArray before = FileFault::snapshot(path);
    c.start();
    auto ann = c.join("Ann");

    if (file == QLatin1String("motd.txt")) {
        c.click("cmdUpdateMOTD");
        if (QWidget *editor = c.app().motdEditor()) {
            editor->findChild<QPlainTextEdit *>(QStringLiteral("txtMOTD"))
                ->setPlainText(QStringLiteral("new text"));
            editor->findChild<QAbstractButton *>(QStringLiteral("cmdOk"))->click();
            c.settle();
            // Still open with the text: nothing the operator typed is lost.
            QVERIFY(editor->isVisible());
            editor->close();
        }
        QCOMPARE(c.onService([&c] { return c.api().motd(); }), QByteArray());
    } else if (file == QLatin1String("sysops.dat")) {
        c.click("cmdSysop");
        SysopEditor *editor = c.app().sysopEditor();
        QVERIFY(editor);
        c.dialogs.inputAnswers = {"Bob", "bob@x.org", "pw2"};
        editor->findChild<QAbstractButton *>(QStringLiteral("cmdAdd"))->click();
        editor->findChild<QAbstractButton *>(QStringLiteral("cmdClose"))->click();
        c.settle();
        QVERIFY(editor->isVisible());
        QCOMPARE(editor->records().size(), fault == Fault::Immutable ? 2 : 1);
        editor->close();
    } else {
        c.dialogs.inputAnswers = {"Ann", "spam"};
        c.click("cmdBanUser");
        // Told the ban, and still thrown out as the operator asked.
        QVERIFY(ann->readLines(1).value(0).startsWith("BANUSER\t"));
    }

    QCOMPARE(FileFault::snapshot(path), before);
    QTRY_COMPARE(c.noticesAbout(file), notices);
    // Serving on.
    auto bob = c.join("Bob", QStringLiteral("127.0.0.2"));
    bob->sendLine("Message\tBob: \tstill here");
    QCOMPARE(bob->readLines(1), QList<QByteArray>{"Message\tBob: \tstill here\t\r\n"});
}

void TestBrokenFiles::brokenWorkingDirectory_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("removed") << Fault::Missing;
    QTest::newRow("a file in its place") << Fault::Garbage;
    QTest::newRow("immutable") << Fault::Immutable;
}

void TestBrokenFiles::brokenWorkingDirectory()
{
    QFETCH(Fault, fault);
    Console c;
    const QString folder = c.config.workingDirectory;
    auto restore = qScopeGuard([&] {
        FileFault::setImmutable(folder, false);
        QFile::remove(folder);
        QDir().mkpath(folder);
    });
    if (fault == Fault::Immutable) {
        if (!FileFault::setImmutable(folder, true))
            QSKIP("this file system does not take the immutable flag");
    } else {
        QVERIFY(QDir(folder).removeRecursively());
        if (fault == Fault::Garbage)
            QVERIFY(FileFault::apply(folder, Fault::Garbage));
    }
    const QByteArray before = FileFault::snapshot(folder);

    c.start();
    auto ann = c.join("Ann");
    auto bob = c.join("Bob", QStringLiteral("127.0.0.2"));
    ann->drain();
    ann->sendLine("Message\tAnn: \thello");
    QCOMPARE(bob->readLines(1), QList<QByteArray>{"Message\tAnn: \thello\t\r\n"});
    // A record file cannot be written either; nothing is said to the client.
    ann->sendLine("NEWUSER\trecord\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\t15");
    ann->sendLine("Message\tAnn: \tagain");
    QCOMPARE(bob->readLines(1), QList<QByteArray>{"Message\tAnn: \tagain\t\r\n"});
    c.click("cmdUpdateMOTD");
    QVERIFY(!c.app().motdEditor());

    QCOMPARE(FileFault::snapshot(folder), before);
    QCOMPARE(c.noticesAbout(QStringLiteral("log.txt")), 1);
    QCOMPARE(c.noticesAbout(QStringLiteral("motd.txt")), 1);
}

void TestBrokenFiles::logProblemIsToldAgainOnlyAfterItWasFixed()
{
    Console c;
    const QString log = c.pathOf(QStringLiteral("log.txt"));
    QVERIFY(FileFault::apply(log, Fault::Directory));
    c.start();
    auto ann = c.join("Ann");
    for (int i = 0; i < 3; ++i)
        ann->sendLine("MOTD");
    ann->readLines(3);
    QCOMPARE(c.noticesAbout(QStringLiteral("log.txt")), 1);

    QVERIFY(QDir(log).removeRecursively());
    ann->sendLine("MOTD");
    ann->readLines(1);
    QVERIFY(c.readWorkingFile(QStringLiteral("log.txt")).contains("MOTD"));
    QVERIFY(QFile::remove(log));
    QVERIFY(FileFault::apply(log, Fault::Directory));
    ann->sendLine("MOTD");
    ann->readLines(1);
    QCOMPARE(c.noticesAbout(QStringLiteral("log.txt")), 2);
}

void TestBrokenFiles::programServesWithEveryFileBroken()
{
    HostedServer server(QStringLiteral(TARNWICK_SERVER_PATH));
    const QStringList files = {QStringLiteral("motd.txt"), QStringLiteral("ban.txt"),
                               QStringLiteral("sysops.dat"), QStringLiteral("users.mdb")};
    const QList<Fault> faults = {Fault::Directory, Fault::DiskError, Fault::Garbage,
                                 Fault::Garbage};
    QMap<QString, QByteArray> before;
    for (qsizetype i = 0; i < files.size(); ++i) {
        QVERIFY(FileFault::apply(server.dataFile(files[i]), faults[i]));
        before[files[i]] = FileFault::snapshot(server.dataFile(files[i]));
    }
    const QString log = server.workingFile(QStringLiteral("log.txt"));
    QVERIFY(FileFault::apply(log, Fault::Directory));
    QVERIFY(server.start({}, offscreenWindow()));

    RawClient ann{RawClient::Mode::Polled};
    RawClient bob{RawClient::Mode::Polled};
    QVERIFY(ann.connectTo(3069) && ann.join("Ann"));
    QVERIFY(bob.connectTo(3069, "127.0.0.2") && bob.join("Bob"));
    bob.sendLine("RequestOP\tBob\tbob@x.org\tpw");
    bob.sendLine("MOTD");
    QVERIFY(bob.waitForLine("MOTD\t\r\n", 5000));
    ann.sendLine("Message\tAnn: \thello");
    QVERIFY(bob.waitForLine("Message\tAnn: \thello\t\r\n", 5000));

    // The working directory goes away under the running program.
    const QString folder = QFileInfo(log).path();
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(FileFault::apply(folder, Fault::Garbage));
    auto restore = qScopeGuard([&] {
        QFile::remove(folder);
        QDir().mkpath(folder);
    });
    ann.sendLine("Message\tAnn: \tstill");
    QVERIFY(bob.waitForLine("Message\tAnn: \tstill\t\r\n", 5000));
    RawClient cy{RawClient::Mode::Polled};
    QVERIFY(cy.connectTo(3069, "127.0.0.3"));
    cy.sendLine("Name\tCy");
    QVERIFY(ann.waitForLine("ADDUSER\tCy\r\n", 10000));

    QVERIFY(server.isRunning());
    for (const QString &file : files)
        QCOMPARE(FileFault::snapshot(server.dataFile(file)), before[file]);
}

QTEST_MAIN(TestBrokenFiles)
#include "tst_brokenfiles.moc"
