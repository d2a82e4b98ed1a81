#include "platform/clientsocket.h"
#include "platform/listener.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTest>

// A handler that yields may see, deeper down, its own connection dropped (a
// kick, a full output queue, the peer's reset) and then yield again before it
// returns. The connection it runs in must outlive its signal, and the next
// chunk of the same connection must not wait for the handler to return.
class TestSocketLifetime : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void droppedInsideItsOwnSignal_data();
    void droppedInsideItsOwnSignal();
    void furtherChunkArrivesDuringAYield();

private:
    // Accepts one connection from a fresh peer.
    QSharedPointer<ClientSocket> connectPeer(QTcpSocket &peer);

    std::unique_ptr<Listener> m_listener;
};

void TestSocketLifetime::init()
{
    m_listener = std::make_unique<Listener>();
    QVERIFY(m_listener->listen());
}

QSharedPointer<ClientSocket> TestSocketLifetime::connectPeer(QTcpSocket &peer)
{
    QSharedPointer<ClientSocket> accepted;
    QObject context;
    connect(m_listener.get(), &Listener::connectionRequest, &context,
            [&accepted](qintptr id) { accepted = ClientSocket::accept(id); });
    peer.connectToHost(QHostAddress::LocalHost, m_listener->boundPort());
    if (!peer.waitForConnected(3000))
        return {};
    if (!QTest::qWaitFor([&accepted] { return !accepted.isNull(); }, 3000))
        return {};
    return accepted;
}

void TestSocketLifetime::droppedInsideItsOwnSignal_data()
{
    QTest::addColumn<bool>("withOutputLeft");
    QTest::newRow("nothing left to send") << false;
    QTest::newRow("a last line still leaving") << true;
}

void TestSocketLifetime::droppedInsideItsOwnSignal()
{
    QFETCH(bool, withOutputLeft);
    for (int round = 0; round < 3; ++round) {
        QTcpSocket peer;
        QSharedPointer<ClientSocket> owner = connectPeer(peer);
        QVERIFY(owner);
        // Set from the event loop once the signal the handler ran in is over.
        bool unwound = false;
        bool destroyed = false;
        bool destroyedTooEarly = false;
        connect(owner.get(), &QObject::destroyed, this, [&] {
            destroyed = true;
            destroyedTooEarly = !unwound;
        });
        connect(owner.get(), &Transport::dataArrival, this, [&] {
            owner->takeReceived();
            if (withOutputLeft)
                owner->send("DOUBLE\r\n");
            // A callback that runs during the first yield ends the connection
            // and lets go of it ...
            QMetaObject::invokeMethod(
                this,
                [&owner] {
                    owner->close();
                    owner.reset();
                },
                Qt::QueuedConnection);
            QCoreApplication::processEvents();
            // ... and the handler yields once more before it returns.
            QCoreApplication::processEvents();
            QMetaObject::invokeMethod(
                this, [&unwound] { unwound = true; }, Qt::QueuedConnection);
        });
        peer.write("MOTD\r\n");
        QTRY_VERIFY(!owner);
        QTRY_VERIFY(destroyed);
        QVERIFY2(!destroyedTooEarly, "deleted while its own signal was still running");
        // The peer sees its connection end, after the last line if there was one.
        QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(peer.readAll(), withOutputLeft ? QByteArray("DOUBLE\r\n") : QByteArray());
    }
}

void TestSocketLifetime::furtherChunkArrivesDuringAYield()
{
    QTcpSocket peer;
    QSharedPointer<ClientSocket> socket = connectPeer(peer);
    QVERIFY(socket);
    QList<QByteArray> handled;
    int depth = 0;
    int deepest = 0;
    connect(socket.get(), &Transport::dataArrival, this, [&] {
        deepest = qMax(deepest, ++depth);
        const QByteArray chunk = socket->takeReceived();
        if (chunk == "first\r\n") {
            peer.write("second\r\n");
            peer.flush();
            // The handler gives way until the second chunk has been handled.
            const QDeadlineTimer deadline(3000);
            while (handled.isEmpty() && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        handled.append(chunk);
        --depth;
    });
    peer.write("first\r\n");
    QTRY_COMPARE(handled.size(), 2);
    QCOMPARE(handled, (QList<QByteArray>{"second\r\n", "first\r\n"}));
    QCOMPARE(deepest, 2);
}

QTEST_GUILESS_MAIN(TestSocketLifetime)
#include "tst_socketlifetime.moc"
