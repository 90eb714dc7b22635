#pragma once

#include <functional>

// The server runs on the Qt event loop of the test's main thread. These
// helpers create the one application object of a test program and drive its
// loop, with a time limit, while the test's handhelds talk over real sockets.
//
// A blocking handheld call would deadlock against the loop if made on the
// main thread: RunPumping runs such a step on a worker thread while the main
// thread serves events. Steps run one at a time, so a handheld object is
// never used from two threads at once; server objects are touched only by
// the main thread.

// Creates the QCoreApplication once per test program.
void EnsureTestApp();

// Serves events (deferred deletions included) until done() holds or timeoutMs
// passes; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Serves events for ms milliseconds.
void PumpFor(int ms);

// Runs step on a worker thread and serves events until it returns. The step
// must be bounded by itself (socket timeouts); false when it took longer than
// timeoutMs.
bool RunPumping(const std::function<void()>& step, int timeoutMs = 10000);
