#include "core/chatlog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestChatLog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void entryText_data();
    void entryText();
    void receiveEntryIsDateAddressSpaceText();
    void shortChunkIsNotLoggedButCreatesTheFile();
    void eventEntryAppends();
    void unwritableFileIsReportedAsFailure();
};

void TestChatLog::entryText_data()
{
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("entry");

    const QByteArray pm = ChatLog::PrivateMessageText;
    QTest::newRow("last character dropped, CR of CR LF stays")
        << QByteArray() << QByteArray("MOTD\r\n") << QByteArray("MOTD\r");
    QTest::newRow("chunk without line end loses its last character")
        << QByteArray() << QByteArray("Name\tbob") << QByteArray("Name\tbo");
    QTest::newRow("CR LF alone") << QByteArray() << QByteArray("\r\n") << QByteArray("\r");
    QTest::newRow("several lines span several lines")
        << QByteArray() << QByteArray("MSG\ta\r\nMOTD\r\n") << QByteArray("MSG\ta\r\nMOTD\r");
    QTest::newRow("chunk beginning with PM is masked whole")
        << QByteArray() << QByteArray("PM\tbob\tsecret\tann\r\nMOTD\r\n") << pm;
    QTest::newRow("PM line later in the chunk is masked too")
        << QByteArray() << QByteArray("MOTD\r\nPM\tbob\tsecret\tann\r\n") << QByteArray("MOTD\r\n" + pm + "\r");
    QTest::newRow("PM line in the middle")
        << QByteArray() << QByteArray("MOTD\r\nPM\tbob\tsecret\tann\r\nMSG\tx\r\n")
        << QByteArray("MOTD\r\n" + pm + "\r\nMSG\tx\r");
    QTest::newRow("rest of a private line cut across chunks")
        << QByteArray("PM\tbob\tsec") << QByteArray("ret\tann\r\nMOTD\r\n")
        << QByteArray(pm + "\r\nMOTD\r");
    QTest::newRow("private line whose keyword was cut")
        << QByteArray("P") << QByteArray("M\tbob\tsecret\tann\r\n") << QByteArray(pm + "\r");
    QTest::newRow("password masked")
        << QByteArray() << QByteArray("RequestOP\tbob\tb@x.org\thunter2\r\n")
        << QByteArray("RequestOP\tbob\tb@x.org\t***\r");
    QTest::newRow("password masked after another line")
        << QByteArray() << QByteArray("MOTD\r\nRequestOP\tbob\tb@x.org\thunter2\r\nMOTD\r\n")
        << QByteArray("MOTD\r\nRequestOP\tbob\tb@x.org\t***\r\nMOTD\r");
    QTest::newRow("password in the next chunk")
        << QByteArray("RequestOP\tbob\tb@x.org\t") << QByteArray("hunter2\r\n")
        << QByteArray("***\r");
    QTest::newRow("password split across chunks")
        << QByteArray("RequestOP\tbob\tb@x.org\thun") << QByteArray("ter2\r\nMOTD\r\n")
        << QByteArray("***\r\nMOTD\r");
    QTest::newRow("RequestOP without password field")
        << QByteArray() << QByteArray("RequestOP\tbob\r\n") << QByteArray("RequestOP\tbob\r");
    QTest::newRow("lower-case keyword is not a private line")
        << QByteArray() << QByteArray("MOTD\r\npm\tx\r\n") << QByteArray("MOTD\r\npm\tx\r");
}

void TestChatLog::entryText()
{
    QFETCH(QByteArray, pending);
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, entry);
    QCOMPARE(ChatLog::receiveEntryText(chunk, pending), entry);
}

void TestChatLog::receiveEntryIsDateAddressSpaceText()
{
    QTemporaryDir dir;
    ChatLog log(dir.filePath("log.txt"));
    QVERIFY(log.writeReceive("10.0.0.7", "MOTD\r\n"));
    QVERIFY(log.writeReceive("10.0.0.8", "Name\tbob\r\n"));
    QFile file(log.path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    const QList<QByteArray> entries = content.split('\n');
    QCOMPARE(entries.size(), 3);
    QVERIFY2(entries[0].endsWith("10.0.0.7 MOTD\r\r"), entries[0]);
    QVERIFY(entries[1].endsWith("10.0.0.8 Name\tbob\r\r"));
    // The timestamp comes first, with nothing between it and the address.
    const QByteArray stamp = entries[0].left(entries[0].indexOf("10.0.0.7"));
    QVERIFY(!stamp.isEmpty());
    QVERIFY(!stamp.endsWith(' '));
    QVERIFY(content.endsWith("\r\r\n"));
}

void TestChatLog::shortChunkIsNotLoggedButCreatesTheFile()
{
    QTemporaryDir dir;
    ChatLog log(dir.filePath("log.txt"));
    QVERIFY(log.writeReceive("10.0.0.7", "x"));
    QFile file(log.path());
    QVERIFY(file.exists());
    QCOMPARE(file.size(), 0);
}

void TestChatLog::eventEntryAppends()
{
    QTemporaryDir dir;
    {
        QFile old(dir.filePath("log.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("older entry\r\n");
    }
    ChatLog log(dir.filePath("log.txt"));
    QVERIFY(log.writeEvent("bob was kicked by ann. Reason: spam"));
    QFile file(log.path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.startsWith("older entry\r\n"));
    QVERIFY(content.endsWith("bob was kicked by ann. Reason: spam\r\n"));
}

void TestChatLog::unwritableFileIsReportedAsFailure()
{
    QTemporaryDir dir;
    ChatLog log(dir.filePath("missing-folder/log.txt"));
    QVERIFY(!log.writeEvent("x"));
    QVERIFY(!log.writeReceive("1.2.3.4", "MOTD\r\n"));
}

QTEST_APPLESS_MAIN(TestChatLog)
#include "tst_chatlog.moc"
