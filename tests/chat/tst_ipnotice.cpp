#include "chat/ipnoticegate.h"
#include "consolefixture.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using Lines = QList<QByteArray>;

class TestIpNotice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void floodOpensOneBox();
    void senderGoneWhileTheBoxIsOpen();
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

// The box gives way to the event loop: the handler must notice that its
// sender left and that a newcomer holds the slot, and drop the rest.
void TestIpNotice::senderGoneWhileTheBoxIsOpen()
{
    Console console;
    std::unique_ptr<RawClient> newcomer;
    console.dialogs.whileMessageOpen = [&] {
        console.ann->abort();
        QTRY_VERIFY(console.table().slot(0).free);
        newcomer = console.connect();
        QVERIFY(!console.table().slot(0).free);
    };
    console.ann->send("IP\tbye\r\nMessage\tAnn: \tstill here\r\nSERVER\tAnn\r\n");
    QTRY_VERIFY(newcomer);
    QCOMPARE(console.bob->readLines(4), leavingLines("Ann"));
    QCOMPARE(newcomer->readFor(30), QByteArray());
    QCOMPARE(console.bob->readFor(0), QByteArray());
    QCOMPARE(console.table().slot(0).name, QByteArray());
}

// Nobody closes the box: the sender's next chunks are still handled at once,
// and the held handler goes on once the box is closed.
void TestIpNotice::sendersLaterLinesAreServedWhileTheBoxIsOpen()
{
    Console console;
    RawClient &ann = *console.ann;
    RawClient &bob = *console.bob;
    ann.drain();
    bob.drain();
    const QByteArray message = "Message\tAnn: \tme too\t\r\n";
    QByteArray bobSaw;
    QByteArray annSaw;
    console.dialogs.whileMessageOpen = [&] {
        // The box stays open until the test has seen what it waits for.
        QEventLoop box;
        const auto look = [&] {
            bobSaw += bob.takeReceived();
            annSaw += ann.takeReceived();
            if (bobSaw == message && !annSaw.contains("MOTD"))
                ann.send("MOTD\r\n");
            if (annSaw.endsWith("MOTD\t\r\n"))
                box.quit();
        };
        bob.setReceivedHandler(look);
        ann.setReceivedHandler(look);
        QTimer::singleShot(5000, &box, &QEventLoop::quit);
        ann.send("Message\tAnn: \tme too\r\n");
        box.exec();
        bob.setReceivedHandler({});
        ann.setReceivedHandler({});
    };
    // The line after the "IP" line waits for the box, as the chunk's next line.
    ann.send("IP\t10.1.2.3\r\nSERVER\tAnn\r\n");
    QCOMPARE(bob.readLines(1), Lines{"Announce\tAnn has joined Tarnwick!\r\n"});
    QCOMPARE(console.dialogs.messages().size(), 1);
    QCOMPARE(bobSaw, message);
    QCOMPARE(annSaw, message + "MOTD\t\r\n");
}

QTEST_MAIN(TestIpNotice)
#include "tst_ipnotice.moc"
