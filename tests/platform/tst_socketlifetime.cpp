#include "platform/clientsocket.h"
#include "platform/listener.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTest>

// A handler that yields may see, deeper down, its own connection dropped (a
// kick, a full output queue, the peer's reset) and then yield again before it
// returns. The socket it runs in must survive until its signal has unwound.
class TestSocketLifetime : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void droppedInsideItsOwnSignal_data();
    void droppedInsideItsOwnSignal();
};

void TestSocketLifetime::droppedInsideItsOwnSignal_data()
{
    QTest::addColumn<bool>("withOutputLeft");
    QTest::newRow("nothing left to send") << false;
    QTest::newRow("a last line still leaving") << true;
}

void TestSocketLifetime::droppedInsideItsOwnSignal()
{
    QFETCH(bool, withOutputLeft);
    Listener listener;
    QVERIFY(listener.listen());
    ClientSocket element(0);
    connect(&listener, &Listener::connectionRequest, &element,
            [&element](qintptr id) { element.accept(id); });

    int arrivals = 0;
    connect(&element, &ClientSocket::dataArrival, &element, [&] {
        ++arrivals;
        element.takeReceived();
        if (withOutputLeft)
            element.send("DOUBLE\r\n");
        // A callback that runs during the first yield ends the connection ...
        QMetaObject::invokeMethod(
            &element, [&element] { element.close(); }, Qt::QueuedConnection);
        QCoreApplication::processEvents();
        // ... and the handler yields once more before it returns.
        QCoreApplication::processEvents();
    });

    for (int round = 0; round < 3; ++round) {
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, listener.boundPort());
        QVERIFY(peer.waitForConnected(3000));
        QTRY_VERIFY(element.isConnected());
        peer.write("MOTD\r\n");
        QTRY_COMPARE(arrivals, round + 1);
        QTRY_VERIFY(!element.isConnected());
        // The peer sees its connection end, after the last line if there was one.
        QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(peer.readAll(), withOutputLeft ? QByteArray("DOUBLE\r\n") : QByteArray());
    }
    QTest::qWait(50);
}

QTEST_GUILESS_MAIN(TestSocketLifetime)
#include "tst_socketlifetime.moc"
