#include "platform/eventloop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

// The yield: cheap enough to call after every slot of a broadcast, yet other
// callbacks still run during a long loop.
class TestEventLoop : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstYieldAfterWaitingRunsPendingEvents();
    void longLoopSharesPassesButKeepsServingEvents();
};

namespace {
// Counts the loop passes that reach posted work: a zero timer fires once per pass.
class PassCounter : public QObject
{
public:
    PassCounter()
    {
        m_timer.setInterval(0);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { ++passes; });
        m_timer.start();
    }
    int passes = 0;

private:
    QTimer m_timer;
};
} // namespace

void TestEventLoop::firstYieldAfterWaitingRunsPendingEvents()
{
    // A handler gave way a few times, then returned; the loop waited for
    // events, as it does between two callbacks.
    for (int i = 0; i < 3; ++i)
        yieldEventLoopInTightLoop();
    QEventLoop waiting;
    QTimer::singleShot(20, &waiting, &QEventLoop::quit);
    waiting.exec();
    bool ran = false;
    QTimer::singleShot(0, this, [&ran] { ran = true; });
    yieldEventLoopInTightLoop();
    QVERIFY(ran);
}

void TestEventLoop::longLoopSharesPassesButKeepsServingEvents()
{
    QTest::qWait(5);
    PassCounter counter;
    QElapsedTimer elapsed;
    elapsed.start();
    long calls = 0;
    while (elapsed.elapsed() < 100) {
        yieldEventLoopInTightLoop();
        ++calls;
    }
    const qint64 ms = elapsed.elapsed();
    // Far fewer passes than calls, no more than one per 2 ms ...
    QVERIFY2(counter.passes <= ms / 2 + 2,
             qPrintable(QString("%1 passes in %2 ms").arg(counter.passes).arg(ms)));
    QVERIFY(counter.passes < calls / 100);
    // ... but waiting work is still served while the loop runs.
    QVERIFY2(counter.passes >= 3, qPrintable(QString("%1 passes").arg(counter.passes)));
}

QTEST_GUILESS_MAIN(TestEventLoop)
#include "tst_eventloop.moc"
