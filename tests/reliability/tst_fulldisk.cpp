#include "rawclient.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

// The real program with its data folder and working directory on a full
// disk (a 2 MiB tmpfs): every command that writes fails visibly (exit 1, the
// system's reason), leaves the old files as they were, leaves no temporary
// file behind, and the server serves on. The test runs in mount and network
// namespaces of its own (as root), so it has the fixed ports to itself.
class TestFullDisk : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void commandFailsAndKeepsTheFile_data();
    void commandFailsAndKeepsTheFile();
    void strangerCannotEmptyTheBanList();

private:
    struct Result
    {
        int exitCode = -1;
        QByteArray err;
    };
    Result ctl(const QStringList &arguments, const QByteArray &input = {});
    QString dataFile(const QString &name) const { return m_root.filePath("data/" + name); }
    QString workFile(const QString &name) const { return m_root.filePath("work/" + name); }
    QMap<QString, QByteArray> snapshot() const;
    void fillDisk();
    void freeDisk() { QFile::remove(m_root.filePath("filler")); }

    QTemporaryDir m_root;
    QProcess m_server;
};

namespace {
bool g_isolated = false;

bool enterPrivateSpace()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback = {};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = probe >= 0 && ::ioctl(probe, SIOCGIFFLAGS, &loopback) == 0;
    loopback.ifr_flags |= IFF_UP;
    up = up && ::ioctl(probe, SIOCSIFFLAGS, &loopback) == 0;
    ::close(probe);
    return up;
}

const QByteArray Sysops = "\r\nAnn\tann@example.org\tpw1\r\nBob\tbob@example.org\tpw2\r\n";
const QByteArray Settings = "; the host's own notes\n[passwords]\nrequired=true\n";

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

void TestFullDisk::initTestCase()
{
    if (!g_isolated)
        QSKIP("needs root: private mount and network namespaces");
    QVERIFY(::mount("tmpfs", QFile::encodeName(m_root.path()).constData(), "tmpfs", 0,
                    "size=2m,mode=0700") == 0);
    QVERIFY(QDir(m_root.path()).mkpath("data") && QDir(m_root.path()).mkpath("work"));
    QByteArray side;
    const QByteArray list = bans(&side);
    for (const auto &[name, bytes] :
         {std::pair{"sysops.dat", Sysops}, std::pair{"tarnwick-server.ini", Settings},
          std::pair{"motd.txt", QByteArray("Welcome\r\n")}, std::pair{"ban.txt", list},
          std::pair{"ban-meta.txt", side}})
        QVERIFY(writeFile(dataFile(name), bytes));
    QVERIFY(writeFile(workFile("motd.txt"), "Old news\r\n"));
    QVERIFY(writeFile(workFile("Bob"), "a record\r\n"));

    m_server.setWorkingDirectory(m_root.filePath("work"));
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral(TARNWICK_SERVER_PATH),
                   {"--headless", "--data-dir", m_root.filePath("data")});
    QVERIFY(m_server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(ctl({"status"}).exitCode == 0, 20000);
}

void TestFullDisk::cleanupTestCase()
{
    if (!g_isolated)
        return;
    m_server.terminate();
    m_server.waitForFinished();
    ::umount2(QFile::encodeName(m_root.path()).constData(), MNT_DETACH);
}

TestFullDisk::Result TestFullDisk::ctl(const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.setWorkingDirectory(m_root.filePath("work"));
    process.start(QStringLiteral(TARNWICK_SERVER_PATH),
                  QStringList{"ctl", "--data-dir", m_root.filePath("data")} + arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardError()};
}

// Every file in both folders, hidden ones included, with its bytes.
QMap<QString, QByteArray> TestFullDisk::snapshot() const
{
    QMap<QString, QByteArray> files;
    for (const char *folder : {"data", "work"}) {
        const QDir dir(m_root.filePath(folder));
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden)) {
            if (name != "log.txt") // the log may gain entries before the disk filled
                files.insert(name, readFile(dir.filePath(name)));
        }
    }
    return files;
}

void TestFullDisk::fillDisk()
{
    QFile filler(m_root.filePath("filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (qsizetype chunk = 65536; chunk > 0; chunk /= 2) {
        while (filler.write(QByteArray(chunk, 'f')) == chunk) {
        }
    }
}

void TestFullDisk::commandFailsAndKeepsTheFile_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reason");
    const QByteArray full = "No space left on device";
    QTest::newRow("sysops add") << QStringList{"sysops", "add", "Cy", "cy@example.org"}
                                << QByteArray("pw3\n") << full;
    QTest::newRow("sysops remove")
        << QStringList{"sysops", "remove", "ann@example.org"} << QByteArray() << full;
    QTest::newRow("passwords off") << QStringList{"passwords", "off"} << QByteArray() << full;
    QTest::newRow("motd set") << QStringList{"motd", "set"} << QByteArray(5000, 'm') << full;
    QTest::newRow("ban-address") << QStringList{"ban-address", "10.9.9.8"} << QByteArray() << full;
    QTest::newRow("ban-address --for")
        << QStringList{"ban-address", "10.9.9.9", "--for", "1h"} << QByteArray() << full;
    QTest::newRow("unban") << QStringList{"unban", "172.16.0.5"} << QByteArray() << full;
    QTest::newRow("server-file") << QStringList{"server-file", "Hall"} << QByteArray() << full;
    QTest::newRow("accounts add") << QStringList{"accounts", "add", "--username", "dave"}
                                  << QByteArray("pw\n") << QByteArray("users.mdb");
}

void TestFullDisk::commandFailsAndKeepsTheFile()
{
    QFETCH(QStringList, command);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reason);
    const QMap<QString, QByteArray> before = snapshot();
    fillDisk();
    const Result result = ctl(command, input);
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
void TestFullDisk::strangerCannotEmptyTheBanList()
{
    const QByteArray list = readFile(dataFile("ban.txt"));
    fillDisk();
    RawClient stranger;
    QVERIFY(stranger.connectTo(3069));
    // Longer than the free part of the record file's last page.
    stranger.sendLine("NEWUSER\tBob\t" + QByteArray(5000, 'x'));
    RawClient carol;
    QVERIFY(carol.connectTo(3069));
    QVERIFY(carol.join("carol"));
    QCOMPARE(readFile(dataFile("ban.txt")), list);
    QCOMPARE(readFile(workFile("Bob")), QByteArray("a record\r\n"));
    freeDisk();

    RawClient dave;
    QVERIFY(dave.connectTo(3069));
    QVERIFY(dave.join("dave"));
    const QByteArray lifted = readFile(dataFile("ban.txt"));
    QCOMPARE(lifted.count('\n'), 20);
    QVERIFY(!lifted.contains("10.0.0.99"));
}

int main(int argc, char *argv[])
{
    g_isolated = enterPrivateSpace();
    QCoreApplication app(argc, argv);
    TestFullDisk test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fulldisk.moc"
