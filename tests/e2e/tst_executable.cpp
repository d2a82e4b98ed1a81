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
    void initTestCase();
    void servesChatFromACopiedFolder();
    void joinGetsTheMotdOfTheProgramFolder();

private:
    ServerUnderTest m_server;
};

void TestExecutable::initTestCase()
{
    m_server.writeProgramFile("motd.txt", "Hello from the copied folder\r\n");
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
}

void TestExecutable::servesChatFromACopiedFolder()
{
    RawClient leaving;
    RawClient staying;
    QVERIFY(leaving.connectTo(3069));
    QVERIFY(staying.connectTo(3069));
    leaving.send("MOTD\r\n");
    // The reply shows the line was handled (and logged) before the close.
    QCOMPARE(leaving.readLines(2),
             (QList<QByteArray>{"MOTD\tHello from the copied folder\r\n", "\r\n"}));
    leaving.close();
    QCOMPARE(staying.readLines(4), leavingLines(QByteArray()));
    // The log is kept in the working directory, not beside the program.
    QVERIFY(readFile(m_server.workingFile("log.txt")).contains("127.0.0.1 MOTD\r\r\n"));
    QVERIFY(!QFile::exists(m_server.programFile("log.txt")));
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
