#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QFile>
#include <QTest>

// Starts the real program the way a host does: copied into a folder of its
// own, on the product's fixed ports, its window drawn offscreen.
class TestExecutable : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void servesChatFromACopiedFolder();
};

void TestExecutable::servesChatFromACopiedFolder()
{
    HostedServer server(QStringLiteral(TARNWICK_SERVER_PATH));
    server.started = server.dataFile("tarnwick-server");
    QVERIFY(QFile::copy(server.program, server.started));
    QVERIFY(writeFile(server.dataFile("motd.txt"), "Hello from the copied folder\r\n"));
    QVERIFY(server.start({}, offscreenWindow()));
    const QByteArray motd = "MOTD\tHello from the copied folder\r\n";
    RawClient leaving;
    RawClient bob;
    RawClient ann;
    QVERIFY(leaving.connectTo(3069) && bob.connectTo(3069) && ann.connectTo(3069));
    leaving.send("MOTD\r\n");
    // The reply shows the line was handled (and logged) before the close.
    QCOMPARE(leaving.readLines(2), (QList<QByteArray>{motd, "\r\n"}));
    leaving.close();
    QCOMPARE(bob.readLines(4), leavingLines(QByteArray()));
    QCOMPARE(ann.readLines(4), leavingLines(QByteArray()));
    // The log is kept in the working directory, not beside the program.
    QVERIFY(readFile(server.workingFile("log.txt")).contains("127.0.0.1 MOTD\r\r\n"));
    QVERIFY(!QFile::exists(server.dataFile("log.txt")));

    bob.send("Name\tbob\r\n");
    // The file's final CR LF is part of the MOTD text.
    QCOMPARE(bob.readLines(4),
             (QList<QByteArray>{motd, "\r\n", "GETPROFILE\tbob\t\r\n", "ADDUSER\tbob\r\n"}));
    QCOMPARE(ann.readLines(1), QList<QByteArray>{"ADDUSER\tbob\r\n"});
    ann.send("Message\tann: \thi bob\r\n");
    QCOMPARE(bob.readLines(1), QList<QByteArray>{"Message\tann: \thi bob\t\r\n"});

    // The window serves the control socket too; bob's row is his entry, the
    // second (the client that left held the first).
    QCOMPARE(server.ctl({"users"}).out, QByteArray("1\tbob\t127.0.0.1\n"));
    QCOMPARE(server.ctl({"shutdown"}).exitCode, 0);
    QVERIFY(bob.waitForDisconnect());
    QVERIFY(server.process.waitForFinished());
    QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.process.exitCode(), 0);
    QVERIFY(!QFile::exists(server.dataFile("tarnwick-server.sock")));
}

QTEST_MAIN(TestExecutable)
#include "tst_executable.moc"
