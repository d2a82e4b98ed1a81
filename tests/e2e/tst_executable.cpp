#include "rawclient.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

// Starts the real program the way a host does: copied into a folder of its
// own, on the product's fixed ports, without a display.
class TestExecutable : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void servesChatFromACopiedFolder();
    void joinGetsTheMotdOfTheProgramFolder();

private:
    QTemporaryDir m_programFolder;
    QTemporaryDir m_workingDirectory;
    QProcess m_server;
};

namespace {
bool portIsFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, port);
}
} // namespace

void TestExecutable::initTestCase()
{
    const QString program = m_programFolder.filePath("tarnwick-server");
    QVERIFY(QFile::copy(QStringLiteral(TARNWICK_SERVER_PATH), program));
    QFile motd(m_programFolder.filePath("motd.txt"));
    QVERIFY(motd.open(QIODevice::WriteOnly));
    motd.write("Hello from the copied folder\r\n");
    motd.close();

    // Another run of the program may still hold the fixed ports for a moment.
    for (int i = 0; i < 300 && !(portIsFree(3069) && portIsFree(3068)); ++i)
        QTest::qWait(100);
    QVERIFY(portIsFree(3069));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_server.setProcessEnvironment(env);
    m_server.setWorkingDirectory(m_workingDirectory.path());
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(program, {});
    QVERIFY(m_server.waitForStarted());
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, 3069);
        up = probe.waitForConnected(100);
        if (!up)
            QTest::qWait(50);
    }
    QVERIFY2(up, "the chat port did not open");
    QTest::qWait(100);
}

void TestExecutable::cleanupTestCase()
{
    m_server.kill();
    m_server.waitForFinished();
}

void TestExecutable::servesChatFromACopiedFolder()
{
    RawClient leaving;
    RawClient staying;
    QVERIFY(leaving.connectTo(3069));
    QVERIFY(staying.connectTo(3069));
    leaving.send("MOTD\r\n");
    QTest::qWait(100);
    leaving.close();
    QCOMPARE(staying.readLines(4),
             (QList<QByteArray>{"Announce\t got bored with life and left Tarnwick!\r\n",
                                "REMOVEUSER\t\r\n", "REMOVEUSER\t [IG]\r\n",
                                "REMOVEUSER\t [AW]\r\n"}));
    // The log is kept in the working directory, not beside the program.
    QFile log(QDir(m_workingDirectory.path()).filePath("log.txt"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains("127.0.0.1 MOTD\r\r\n"));
    QVERIFY(!QFile::exists(m_programFolder.filePath("log.txt")));
}

void TestExecutable::joinGetsTheMotdOfTheProgramFolder()
{
    RawClient bob;
    RawClient ann;
    QVERIFY(bob.connectTo(3069));
    QVERIFY(ann.connectTo(3069));
    bob.send("Name\tbob\r\n");
    // The file's final CR LF is part of the MOTD text.
    const QList<QByteArray> lines = bob.readLines(4);
    QCOMPARE(lines, (QList<QByteArray>{"MOTD\tHello from the copied folder\r\n", "\r\n",
                                       "GETPROFILE\tbob\t\r\n", "ADDUSER\tbob\r\n"}));
    QCOMPARE(ann.readLines(1), QList<QByteArray>{"ADDUSER\tbob\r\n"});
    ann.send("Message\tann: \thi bob\r\n");
    QCOMPARE(bob.readLines(1), QList<QByteArray>{"Message\tann: \thi bob\t\r\n"});
}

QTEST_MAIN(TestExecutable)
#include "tst_executable.moc"
