#include "platform/eventloop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>

namespace {
constexpr qint64 YieldIntervalNs = 2'000'000; // 2 ms
// Reading the clock costs more than what a broadcast does for one slot, so a
// tight loop reads it only on every ClockStride-th call.
constexpr int ClockStride = 32;

struct YieldState
{
    QElapsedTimer lastPass;
    int callsUntilClock = 0;
    int yielding = 0; // nesting depth of yields running the loop
    QAbstractEventDispatcher *watched = nullptr;
};

YieldState &state()
{
    thread_local YieldState s; // each thread yields its own loop
    return s;
}

void watchDispatcher(YieldState &s)
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == s.watched || !dispatcher)
        return;
    s.watched = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                     [] { state().callsUntilClock = 0; });
}
} // namespace

void yieldEventLoopNow()
{
    YieldState &s = state();
    watchDispatcher(s);
    s.lastPass.start();
    s.callsUntilClock = ClockStride;
    ++s.yielding;
    QCoreApplication::processEvents();
    --s.yielding;
}

bool isYielding()
{
    return state().yielding > 0;
}

void yieldEventLoop()
{
    YieldState &s = state();
    if (s.lastPass.isValid() && s.lastPass.nsecsElapsed() < YieldIntervalNs)
        return;
    yieldEventLoopNow();
}

void yieldEventLoopInTightLoop()
{
    YieldState &s = state();
    if (--s.callsUntilClock > 0)
        return;
    s.callsUntilClock = ClockStride;
    yieldEventLoop();
}
