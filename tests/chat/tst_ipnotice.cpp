#include "chattestlines.h"

#include "chat/ipnoticegate.h"
#include "console/mainwindow.h"
#include "core/chatserver.h"
#include "scripteddialogs.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestIpNotice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void textIsShownToTheOperator();
    void floodOpensOneBox();
    void boxOpensAgainAfterAQuietSpell();
    void senderGoneWhileTheBoxIsOpen();
};

struct Console
{
    ChatFixture fixture;
    ScriptedDialogs dialogs;
    MainWindow window{*fixture.chat, dialogs};

    QStringList logLines()
    {
        window.flushOutput();
        return window.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

void TestIpNotice::textIsShownToTheOperator()
{
    Console console;
    auto ann = joinOne(console.fixture, "Ann");
    ann->send("IP\tCaf\xE9 10.0.0.7\r\nIP\r\nMOTD\r\n");
    QCOMPARE(receivedLines(*ann, 1), Lines{"MOTD\t\r\n"});
    const auto boxes = console.dialogs.messages();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral(u"Caf\u00e9 10.0.0.7"));
    QCOMPARE(console.logLines(), QStringList());
}

void TestIpNotice::floodOpensOneBox()
{
    Console console;
    auto ann = joinOne(console.fixture, "Ann");
    auto bob = joinOne(console.fixture, "Bob", QStringLiteral("127.0.0.2"));
    ann->drain();
    int opened = 0;
    console.dialogs.whileMessageOpen = [&] {
        if (++opened > 1)
            return;
        QByteArray fromBob;
        QByteArray fromAnn;
        for (int i = 0; i < 300; ++i) {
            fromBob += "IP\tbob " + QByteArray::number(i) + "\r\n";
            fromAnn += "IP\tann late " + QByteArray::number(i) + "\r\n";
        }
        bob->send(fromBob);
        ann->send(fromAnn);
        QTest::qWait(200);
    };
    QByteArray chunk;
    for (int i = 0; i < 300; ++i)
        chunk += "IP\tann " + QByteArray::number(i) + "\r\n";
    ann->send(chunk + "MOTD\r\n");
    QCOMPARE(receivedLines(*ann, 1), Lines{"MOTD\t\r\n"});
    QTRY_COMPARE(console.logLines().size(), 899);

    QCOMPARE(opened, 1);
    const auto boxes = console.dialogs.messages();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("ann 0"));
    const QStringList log = console.logLines();
    QVERIFY(log.contains(QStringLiteral("bob 299")));
    QVERIFY(log.contains(QStringLiteral("ann 299")));
    QCOMPARE(log.last(), QStringLiteral("ann late 299"));
    QVERIFY(ann->isConnected());
    QVERIFY(bob->isConnected());
}

void TestIpNotice::boxOpensAgainAfterAQuietSpell()
{
    Console console;
    auto ann = joinOne(console.fixture, "Ann");
    ann->send("IP\tfirst\r\nIP\tsoon after\r\n");
    QTRY_COMPARE(console.logLines(), QStringList{QStringLiteral("soon after")});
    QCOMPARE(console.dialogs.messages().size(), 1);
    QTest::qWait(IpNoticeGate::QuietMs + 100);
    ann->sendLine("IP\tlater");
    QTRY_COMPARE(console.dialogs.messages().size(), 2);
    QCOMPARE(console.dialogs.messages().last().text, QStringLiteral("later"));
}

void TestIpNotice::senderGoneWhileTheBoxIsOpen()
{
    Console console;
    auto ann = joinOne(console.fixture, "Ann");
    auto bob = joinOne(console.fixture, "Bob");
    std::unique_ptr<RawClient> newcomer;
    console.dialogs.whileMessageOpen = [&] {
        ann->abort();
        QTRY_VERIFY(console.fixture.table.slot(0).free);
        newcomer = console.fixture.connect(); // takes Ann's slot
        QVERIFY(!console.fixture.table.slot(0).free);
    };
    ann->send("IP\tbye\r\nMessage\tAnn: \tstill here\r\nSERVER\tAnn\r\n");
    QTRY_VERIFY(newcomer);
    QCOMPARE(
        receivedLines(*bob, 4),
        (Lines{"Announce\tAnn got bored with life and left Tarnwick!\r\n", "REMOVEUSER\tAnn\r\n",
               "REMOVEUSER\tAnn [IG]\r\n", "REMOVEUSER\tAnn [AW]\r\n"}));
    QCOMPARE(receivedLines(*newcomer, 0), Lines{});
    QCOMPARE(console.fixture.table.slot(0).name, QByteArray());
}

QTEST_MAIN(TestIpNotice)
#include "tst_ipnotice.moc"
