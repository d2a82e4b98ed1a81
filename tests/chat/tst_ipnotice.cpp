#include "chat/ipnoticegate.h"
#include "consolefixture.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestIpNotice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void floodOpensOneBox();
    void theRoomGoesOnWhileTheBoxIsOpen();
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

// The box waits for the operator, the room does not: the sender's next line
// is relayed, and the sender may leave and another take its slot, while the
// box is still open. Closing it touches nobody.
void TestIpNotice::theRoomGoesOnWhileTheBoxIsOpen()
{
    Console console;
    RawClient &bob = *console.bob;
    bob.drain();
    std::unique_ptr<RawClient> newcomer;
    console.dialogs.whileMessageOpen = [&] {
        QCOMPARE(bob.readLines(1), Lines{"Message\tAnn: \tstill here\t\r\n"});
        console.ann->abort();
        QCOMPARE(bob.readLines(4), leavingLines("Ann"));
        newcomer = console.connect();
        QVERIFY(!console.table().slot(0).free);
    };
    console.ann->send("IP\tbye\r\nMessage\tAnn: \tstill here\r\n");
    QTRY_VERIFY(newcomer);
    QCOMPARE(console.dialogs.messages().size(), 1);
    QCOMPARE(newcomer->readFor(30), QByteArray());
    QCOMPARE(bob.readFor(0), QByteArray());
}

QTEST_MAIN(TestIpNotice)
#include "tst_ipnotice.moc"
