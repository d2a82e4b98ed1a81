#include "platform/eventloop.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace {
constexpr qint64 YieldIntervalNs = 2'000'000; // 2 ms

QElapsedTimer &lastPass()
{
    static QElapsedTimer timer;
    return timer;
}
} // namespace

void yieldEventLoopNow()
{
    lastPass().start();
    QCoreApplication::processEvents();
}

void yieldEventLoop()
{
    QElapsedTimer &timer = lastPass();
    if (timer.isValid() && timer.nsecsElapsed() < YieldIntervalNs)
        return;
    yieldEventLoopNow();
}
