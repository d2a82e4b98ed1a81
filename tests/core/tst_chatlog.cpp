#include "core/chatlog.h"

#include <QTest>

class TestChatLog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void entryText_data();
    void entryText();
};

void TestChatLog::entryText_data()
{
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("entry");
    const QByteArray pm = ChatLog::PrivateMessageText;
    QTest::newRow("last character dropped")
        << QByteArray() << QByteArray("MSG\ta\r\nMOTD\r\n") << QByteArray("MSG\ta\r\nMOTD\r");
    QTest::newRow("no line end") << QByteArray() << QByteArray("Name\tbob")
                                 << QByteArray("Name\tbo");
    QTest::newRow("chunk beginning with PM")
        << QByteArray() << QByteArray("PM\tbob\tsecret\tann\r\nMOTD\r\n") << pm;
    QTest::newRow("PM line later in the chunk")
        << QByteArray() << QByteArray("MOTD\r\nPM\tbob\tsecret\tann\r\nMSG\tx\r\n")
        << QByteArray("MOTD\r\n" + pm + "\r\nMSG\tx\r");
    QTest::newRow("private line whose keyword was cut")
        << QByteArray("P") << QByteArray("M\tbob\tsecret\tann\r\n") << QByteArray(pm + "\r");
    QTest::newRow("lower-case pm is not private")
        << QByteArray() << QByteArray("MOTD\r\npm\tx\r\n") << QByteArray("MOTD\r\npm\tx\r");
    QTest::newRow("password") << QByteArray()
                              << QByteArray("MOTD\r\nRequestOP\tbob\tb@x.org\thunter2\r\nMOTD\r\n")
                              << QByteArray("MOTD\r\nRequestOP\tbob\tb@x.org\t***\r\nMOTD\r");
    QTest::newRow("RequestOP without password")
        << QByteArray() << QByteArray("RequestOP\tbob\r\n") << QByteArray("RequestOP\tbob\r");
}

void TestChatLog::entryText()
{
    QFETCH(QByteArray, pending);
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, entry);
    QCOMPARE(ChatLog::receiveEntryText(chunk, pending), entry);
}

QTEST_APPLESS_MAIN(TestChatLog)
#include "tst_chatlog.moc"
