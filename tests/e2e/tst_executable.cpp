#include "rawclient.h"
#include "serverundertest.h"

#include <QFile>
#include <QTest>

// Starts the real program the way a host does: copied into a folder of its
// own, on the product's fixed ports, without a display.
class TestExecutable : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void servesChatFromACopiedFolder();
};

void TestExecutable::servesChatFromACopiedFolder()
{
    ServerUnderTest server;
    server.writeProgramFile("motd.txt", "Hello from the copied folder\r\n");
    QVERIFY(server.start());
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
    QVERIFY(!QFile::exists(server.programFile("log.txt")));

    bob.send("Name\tbob\r\n");
    // The file's final CR LF is part of the MOTD text.
    QCOMPARE(bob.readLines(4),
             (QList<QByteArray>{motd, "\r\n", "GETPROFILE\tbob\t\r\n", "ADDUSER\tbob\r\n"}));
    QCOMPARE(ann.readLines(1), QList<QByteArray>{"ADDUSER\tbob\r\n"});
    ann.send("Message\tann: \thi bob\r\n");
    QCOMPARE(bob.readLines(1), QList<QByteArray>{"Message\tann: \thi bob\t\r\n"});
}

QTEST_MAIN(TestExecutable)
#include "tst_executable.moc"
