#pragma once

// The one way handlers give way to the event loop while they work. Pending
// socket and window events run to their end before it returns; anything a
// handler read before calling it may have changed.
//
// Calls closer together than a short interval (2 ms) share one pass of the
// loop, so a loop over 50 slots does not pay 50 full passes; waiting events
// still run within that interval.
void yieldEventLoop();

// The same for a loop of many tiny steps (a broadcast's send to one slot):
// the clock is read only every few calls, since reading it costs more than
// such a step, so waiting events run within the interval or a few steps more.
// The first call after the loop has waited for events always reads it.
void yieldEventLoopInTightLoop();

// Runs the event loop once regardless of the interval (a modal step, a test).
void yieldEventLoopNow();

// True while a yield runs the event loop, that is, in the middle of some
// handler's work. What can wait for the handler to finish (a window's repaint)
// may put itself off until then.
bool isYielding();
