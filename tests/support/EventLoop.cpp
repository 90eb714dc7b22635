#include "support/EventLoop.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <QCoreApplication>
#include <QEvent>

#include "net/EpollEventDispatcher.h"

namespace {

void ServeOnce() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // Outside exec() deferred deletions wait for an explicit request.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

void EnsureTestApp() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "zel-test";
    static char* argv[] = {name, nullptr};
    // The server's tests run on the dispatcher the program uses.
    InstallEpollEventDispatcher();
    static QCoreApplication app(argc, argv);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    EnsureTestApp();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        ServeOnce();
    }
    return true;
}

void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

bool RunPumping(const std::function<void()>& step, int timeoutMs) {
    EnsureTestApp();
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        step();
        finished = true;
    });
    const bool inTime = PumpUntil([&] { return finished.load(); }, timeoutMs);
    // The step ends by its own timeouts; keep serving so it can.
    while (!finished)
        ServeOnce();
    worker.join();
    return inTime;
}
