#include "platform/eventloop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

// The yield is throttled so a broadcast can call it after every slot, yet
// other callbacks still run during a long loop.
class TestEventLoop : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void yieldServesWaitingWork();
};

void TestEventLoop::yieldServesWaitingWork()
{
    // The first yield after the loop has been idle runs what is pending.
    yieldEventLoopInTightLoop();
    QEventLoop idle;
    QTimer::singleShot(20, &idle, &QEventLoop::quit);
    idle.exec();
    bool ran = false;
    QTimer::singleShot(0, this, [&ran] { ran = true; });
    yieldEventLoopInTightLoop();
    QVERIFY(ran);

    // A zero timer fires once per real pass.
    int passes = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&passes] { ++passes; });
    timer.start(0);
    QElapsedTimer elapsed;
    elapsed.start();
    long calls = 0;
    for (; elapsed.elapsed() < 100; ++calls)
        yieldEventLoopInTightLoop();
    QVERIFY2(passes >= 3 && passes < calls / 100,
             qPrintable(QString("%1 passes for %2 calls").arg(passes).arg(calls)));
}

QTEST_GUILESS_MAIN(TestEventLoop)
#include "tst_eventloop.moc"
