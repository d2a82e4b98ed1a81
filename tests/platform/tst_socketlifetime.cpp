#include "platform/clientsocket.h"
#include "platform/listener.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTcpSocket>
#include <QTest>

// A handler may drop its own connection (a kick, a refused join) and let go of
// it: the connection it runs in must outlive its signal.
class TestSocketLifetime : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void droppedInsideItsOwnSignal_data();
    void droppedInsideItsOwnSignal();
    void droppedBeforeItsFlush();

private:
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
        // Set once the signal the handler ran in is over.
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
            owner->close();
            owner.reset();
        });
        // Runs after the handler, in the same emission: the signal is over.
        connect(owner.get(), &Transport::dataArrival, this, [&unwound] { unwound = true; });
        peer.write("MOTD\r\n");
        QTRY_VERIFY(!owner);
        QTRY_VERIFY(destroyed);
        QVERIFY2(!destroyedTooEarly, "deleted while its own signal was still running");
        // The peer sees its connection end, after the last line if there was one.
        QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(peer.readAll(), withOutputLeft ? QByteArray("DOUBLE\r\n") : QByteArray());
    }
}

// A connection dropped and deleted while its lines wait for the flush gets
// none of them, and the connection accepted next (which may live at the same
// address) only its own.
void TestSocketLifetime::droppedBeforeItsFlush()
{
    QTcpSocket oldPeer, newPeer;
    QSharedPointer<ClientSocket> old = connectPeer(oldPeer);
    QVERIFY(old);
    QVERIFY(old->send("old\r\n"));
    QPointer<ClientSocket> watch = old.get();
    old.reset();
    // Deleted before the turn's flush runs.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!watch);
    const QSharedPointer<ClientSocket> next = connectPeer(newPeer);
    QVERIFY(next);
    QVERIFY(next->send("new\r\n"));
    QTRY_COMPARE(newPeer.bytesAvailable(), qint64(5));
    QCOMPARE(newPeer.readAll(), QByteArray("new\r\n"));
    QTRY_COMPARE(oldPeer.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(oldPeer.readAll(), QByteArray());
}

QTEST_GUILESS_MAIN(TestSocketLifetime)
#include "tst_socketlifetime.moc"
