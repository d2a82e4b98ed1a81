#include "privatespace.h"
#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QTest>

// The real program on its data folder, which is also its working directory
// (as the packaged service runs), on a 2 MiB tmpfs. On a full disk every
// command that writes fails visibly (exit 1, the system's reason), leaves the
// old files as they were and no temporary file behind, and the server serves
// on. A stranger's NEWUSER never reaches a file the server keeps. The test
// runs in mount and network namespaces of its own (as root), so it has the
// fixed ports to itself.
class TestDataFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void commandFailsAndKeepsTheFile_data();
    void commandFailsAndKeepsTheFile();
    void strangerCannotEmptyTheBanList();
    void recordNamesNeverReachTheServersFiles();
    void recordFilesAreBounded();

private:
    ProgramRun ctl(const QStringList &arguments, const QByteArray &input = {})
    {
        return m_server.ctl(arguments, input);
    }
    QString dataFile(const QString &name) const { return m_server.dataFile(name); }
    QMap<QString, QByteArray> snapshot() const;
    void fillDisk();
    void freeDisk() { QFile::remove(dataFile("filler")); }

    HostedServer m_server{QStringLiteral(TARNWICK_SERVER_PATH)};
};

namespace {
const QByteArray Sysops = "\r\nAnn\tann@example.org\tpw1\r\nBob\tbob@example.org\tpw2\r\n";
const QByteArray Settings = "; the host's own notes\n[passwords]\nrequired=true\n"
                            "[limits]\nrecordFileBytes=20000\nrecordFiles=3\n";

// 20 bans that expire in a year, and one expired one.
QByteArray bans(QByteArray *side)
{
    QByteArray list;
    *side = "# target\tset-at\texpires\tset-by\treason (see ban.txt)\n";
    for (int i = 1; i <= 20; ++i) {
        const QByteArray target = "172.16.0." + QByteArray::number(i);
        list += '"' + target + "\"\r\n";
        *side += target + "\t2026-01-01T00:00:00Z\t2099-01-01T00:00:00Z\tconsole\tspam\n";
    }
    list += "\"10.0.0.99\"\r\n";
    *side += "10.0.0.99\t2020-01-01T00:00:00Z\t2020-01-02T00:00:00Z\tconsole\told\n";
    return list;
}
} // namespace

void TestDataFiles::initTestCase()
{
    if (!PrivateSpace::entered())
        QSKIP("needs root: private mount and network namespaces");
    QVERIFY(PrivateSpace::mountSmallDisk(m_server.data.path(), "2m"));
    m_server.runsIn = m_server.data.path();
    QByteArray side;
    const QByteArray list = bans(&side);
    for (const auto &[name, bytes] :
         {std::pair{"sysops.dat", Sysops}, std::pair{"tarnwick-server.ini", Settings},
          std::pair{"motd.txt", QByteArray("Welcome\r\n")}, std::pair{"ban.txt", list},
          std::pair{"ban-meta.txt", side}})
        QVERIFY(writeFile(dataFile(name), bytes));
    QVERIFY(writeFile(dataFile("Bob"), "a record\r\n"));
    QVERIFY(m_server.start());
}

void TestDataFiles::cleanupTestCase()
{
    if (!PrivateSpace::entered())
        return;
    m_server.process.terminate();
    m_server.process.waitForFinished();
    PrivateSpace::unmount(m_server.data.path());
}

// Every file in the data folder, hidden ones included, with its bytes.
QMap<QString, QByteArray> TestDataFiles::snapshot() const
{
    QMap<QString, QByteArray> files;
    const QDir dir(m_server.data.path());
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!name.startsWith("log.txt")) // the log gains entries
            files.insert(name, readFile(dir.filePath(name)));
    }
    return files;
}

void TestDataFiles::fillDisk()
{
    QFile filler(dataFile("filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (qsizetype chunk = 65536; chunk > 0; chunk /= 2) {
        while (filler.write(QByteArray(chunk, 'f')) == chunk) {
        }
    }
}

void TestDataFiles::commandFailsAndKeepsTheFile_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reason");
    const auto row = [](const char *name, const QStringList &command, const QByteArray &input = {},
                        const QByteArray &reason = "No space left on device") {
        QTest::newRow(name) << command << input << reason;
    };
    row("sysops add", {"sysops", "add", "Cy", "cy@example.org"}, "pw3\n");
    row("sysops remove", {"sysops", "remove", "ann@example.org"});
    row("passwords off", {"passwords", "off"});
    row("motd set", {"motd", "set"}, QByteArray(5000, 'm'));
    row("ban-address", {"ban-address", "10.9.9.8"});
    row("ban-address --for", {"ban-address", "10.9.9.9", "--for", "1h"});
    row("unban", {"unban", "172.16.0.5"});
    row("server-file", {"server-file", "Hall"});
    row("accounts add", {"accounts", "add", "--username", "dave"}, "pw\n", "users.mdb");
}

void TestDataFiles::commandFailsAndKeepsTheFile()
{
    QFETCH(QStringList, command);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reason);
    const QMap<QString, QByteArray> before = snapshot();
    fillDisk();
    const ProgramRun result = ctl(command, input);
    freeDisk();
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(reason), result.err.constData());
    const QMap<QString, QByteArray> after = snapshot();
    QCOMPARE(after.keys(), before.keys());
    for (const QString &name : before.keys())
        QVERIFY2(after.value(name) == before.value(name), qPrintable(name));
    QCOMPARE(ctl({"status"}).exitCode, 0);
}

// A client that never joins fills the disk (here: the filler); the next join
// lifts the expired ban: that rewrite fails and the list stays whole. A
// NEWUSER record leaves no partial record behind.
void TestDataFiles::strangerCannotEmptyTheBanList()
{
    const QByteArray list = readFile(dataFile("ban.txt"));
    fillDisk();
    RawClient stranger;
    QVERIFY(stranger.connectTo(3069));
    // Longer than the free part of the record file's last page.
    stranger.sendLine("NEWUSER\tBob\t" + QByteArray(5000, 'x'));
    QVERIFY(RawClient::connected(3069)->join("carol"));
    QCOMPARE(readFile(dataFile("ban.txt")), list);
    QCOMPARE(readFile(dataFile("Bob")), QByteArray("a record\r\n"));
    freeDisk();

    QVERIFY(RawClient::connected(3069)->join("dave"));
    const QByteArray lifted = readFile(dataFile("ban.txt"));
    QCOMPARE(lifted.count('\n'), 20);
    QVERIFY(!lifted.contains("10.0.0.99"));
}

// The lines a client that never joins would send to rewrite the settings.
void TestDataFiles::recordNamesNeverReachTheServersFiles()
{
    const QMap<QString, QByteArray> before = snapshot();
    QStringList names = {"tarnwick-server.ini",
                         "tarnwick-server.ini.lock",
                         "tarnwick-server.lock",
                         "tarnwick-server.sock",
                         "tarnwick-server",
                         "tarnwick-serverd",
                         "ban.txt",
                         "ban-meta.txt",
                         "sysops.dat",
                         "motd.txt",
                         "log.txt",
                         "log.txt.1",
                         "users.mdb",
                         "users.mdb-wal",
                         "users.mdb-journal",
                         "Hall.tkl",
                         ".profile",
                         "../escape",
                         QString(65, 'n')};
    for (const QString &name : QStringList(names))
        names.append(name.toUpper());
    const auto stranger = RawClient::connected(3069);
    for (const QString &name : std::as_const(names))
        stranger->sendLine("NEWUSER\t" + name.toLatin1() +
                           "\t[passwords]\trequired=false\t[limits]\ttrustedAddresses=0.0.0.0/0");
    // Lines are handled in order: once Carl's record is there, all were.
    stranger->sendLine("NEWUSER\tCarl\tcarl@example.org");
    QTRY_VERIFY(QFile::exists(dataFile("Carl")));

    QMap<QString, QByteArray> after = snapshot();
    QCOMPARE(after.take("Carl").left(22), QByteArray("Carl\r\ncarl@example.org"));
    QCOMPARE(after, before);
    QVERIFY(!QFile::exists(dataFile("../escape")));
    QCOMPARE(m_server.errors().count("event=record-refused"), names.size());

    // What the next start reads is what the host wrote.
    m_server.process.terminate();
    QVERIFY(m_server.process.waitForFinished());
    QVERIFY(m_server.start());
    const QByteArray status = ctl({"status"}).out;
    QVERIFY2(status.contains("Require Passwords: on"), status.constData());
}

// A record file grows to recordFileBytes; the folder takes recordFiles record
// files (Bob, Carl and one more).
void TestDataFiles::recordFilesAreBounded()
{
    const auto stranger = RawClient::connected(3069);
    stranger->sendLine("NEWUSER\tBob\t" + QByteArray(25000, 'b'));
    stranger->sendLine("NEWUSER\tErin");
    stranger->sendLine("NEWUSER\tDave");
    stranger->sendLine("NEWUSER\tCarl\tagain");
    QTRY_VERIFY(readFile(dataFile("Carl")).contains("again"));
    QCOMPARE(readFile(dataFile("Bob")), QByteArray("a record\r\n"));
    QVERIFY(QFile::exists(dataFile("Erin")));
    QVERIFY(!QFile::exists(dataFile("Dave")));
    const QByteArray output = m_server.errors();
    QVERIFY2(output.contains("event=record-refused name=\"Bob\" reason=file-full"),
             output.constData());
    QVERIFY(output.contains("event=record-refused name=\"Dave\" reason=folder-full"));
}

PRIVATE_SPACE_TEST_MAIN(TestDataFiles)

#include "tst_datafiles.moc"
