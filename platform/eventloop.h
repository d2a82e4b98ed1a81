#pragma once

// The one way handlers give way to the event loop while they work. Pending
// socket and window events run to their end before it returns; anything a
// handler read before calling it may have changed.
//
// Calls closer together than a short interval (2 ms) share one pass of the
// loop, so a loop over 50 slots does not pay 50 full passes; waiting events
// still run within that interval (or a few calls more). The first call after
// the loop has waited for events always runs a pass.
void yieldEventLoop();

// Runs the event loop once regardless of the interval (a modal step, a test).
void yieldEventLoopNow();
