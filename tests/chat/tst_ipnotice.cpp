#include "chat/ipnoticegate.h"
#include "consolefixture.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestIpNotice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void floodOpensOneBox();
    void sendersLaterLinesAreServedWhileTheBoxIsOpen();
};

// The floods here test the notice gate, not flood control: it is turned off.
struct Console : ConsoleFixture
{
    Console() : ConsoleFixture(Start::Later)
    {
        writeProgramFile("tarnwick-server.ini", "[limits]\nfloodBurst=0\n");
        start();
        ann = join("Ann");
        bob = join("Bob", QStringLiteral("127.0.0.2"));
    }
    std::unique_ptr<RawClient> ann;
    std::unique_ptr<RawClient> bob;
};

// Texts that come while the box is open, from any client, and within a
// second of the last one go to the log view.
void TestIpNotice::floodOpensOneBox()
{
    Console console;
    console.ann->drain();
    bool flooded = false;
    console.dialogs.whileMessageOpen = [&] {
        for (RawClient *client : {console.bob.get(), console.ann.get()})
            client->send(QByteArray(flooded ? "" : "IP\tlater\r\n").repeated(300));
        flooded = true;
        QTest::qWait(200);
    };
    console.ann->send("IP\r\n" + QByteArray("IP\tCaf\xE9\r\n").repeated(300) + "MOTD\r\n");
    QCOMPARE(console.ann->readLines(1), Lines{"MOTD\t\r\n"});
    QTRY_COMPARE(console.logLines().size(), 899);
    QCOMPARE(console.dialogs.messages().size(), 1);
    QCOMPARE(console.dialogs.messages()[0].text, QStringLiteral(u"Caf\u00e9"));
    QCOMPARE(console.logLines().count(QStringLiteral(u"Caf\u00e9")), 299);
    QVERIFY(console.ann->isConnected() && console.bob->isConnected());

    QTest::qWait(IpNoticeGate::QuietMs + 100);
    console.ann->sendLine("IP\tquiet");
    QTRY_COMPARE(console.dialogs.messages().size(), 2);
    QCOMPARE(console.dialogs.messages().last().text, QStringLiteral("quiet"));
}

// The box waits on the window's thread: the sender's next lines are served
// while it is open.
void TestIpNotice::sendersLaterLinesAreServedWhileTheBoxIsOpen()
{
    Console console;
    console.ann->drain();
    console.bob->drain();
    Lines seen;
    console.dialogs.whileMessageOpen = [&] {
        console.ann->sendLine("Message\tAnn: \tme too");
        seen = console.bob->readLines(1);
    };
    console.ann->sendLine("IP\t10.1.2.3");
    QTRY_COMPARE(console.dialogs.messages().size(), 1);
    QCOMPARE(seen, Lines{"Message\tAnn: \tme too\t\r\n"});
}

QTEST_MAIN(TestIpNotice)
#include "tst_ipnotice.moc"
