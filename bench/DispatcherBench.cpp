// One ping-pong round trip through an event loop that also watches many idle
// sockets, on Qt's stock dispatcher and on TEpollEventDispatcher.
//
// The loop runs on a worker thread whose dispatcher is chosen per case; it
// times, itself, from writing the ping on one end of a socket pair to
// reading the pong that its other notifier echoed: two dispatcher passes.
// Waking the worker for each round is not timed (manual time).

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QSemaphore>
#include <QSocketNotifier>
#include <QThread>

#include "net/EpollEventDispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pair {
    int fd[2] = {-1, -1};
    ~Pair() {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
};

// The worker thread with its sockets; everything Qt in it is made and
// destroyed on the worker.
class LoopThread {
public:
    LoopThread(bool epoll, int idle) {
        if (epoll)
            m_thread.setEventDispatcher(new TEpollEventDispatcher);
        m_thread.start();
        m_context.moveToThread(&m_thread);
        m_idle.resize(static_cast<size_t>(idle));
        for (Pair& pair : m_idle)
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair.fd);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_busy.fd);
        OnWorker([this] {
            for (Pair& pair : m_idle)
                m_notifiers.push_back(std::make_unique<QSocketNotifier>(pair.fd[0], QSocketNotifier::Read));
            auto echo = std::make_unique<QSocketNotifier>(m_busy.fd[1], QSocketNotifier::Read);
            QObject::connect(echo.get(), &QSocketNotifier::activated, [this] {
                char byte;
                if (read(m_busy.fd[1], &byte, 1) == 1)
                    (void)!write(m_busy.fd[1], &byte, 1);
            });
            auto back = std::make_unique<QSocketNotifier>(m_busy.fd[0], QSocketNotifier::Read);
            QObject::connect(back.get(), &QSocketNotifier::activated, [this] {
                char byte;
                if (read(m_busy.fd[0], &byte, 1) == 1) {
                    m_elapsed = Clock::now() - m_start;
                    m_done.release();
                }
            });
            m_notifiers.push_back(std::move(echo));
            m_notifiers.push_back(std::move(back));
        });
    }

    ~LoopThread() {
        OnWorker([this] { m_notifiers.clear(); });
        m_thread.quit();
        m_thread.wait();
    }

    // One timed round trip, in seconds.
    double RoundTrip() {
        QMetaObject::invokeMethod(&m_context, [this] {
            m_start = Clock::now();
            (void)!write(m_busy.fd[0], "p", 1);
        });
        m_done.acquire();
        return std::chrono::duration<double>(m_elapsed).count();
    }

private:
    template <typename F> void OnWorker(F f) {
        QMetaObject::invokeMethod(&m_context, f, Qt::BlockingQueuedConnection);
    }

    QThread m_thread;
    QObject m_context;
    std::vector<Pair> m_idle;
    Pair m_busy;
    std::vector<std::unique_ptr<QSocketNotifier>> m_notifiers;
    QSemaphore m_done;
    Clock::time_point m_start;
    Clock::duration m_elapsed{};
};

void RoundTrip(benchmark::State& state, bool epoll) {
    const int idle = static_cast<int>(state.range(0));
    LoopThread loop(epoll, idle);
    for (auto _ : state)
        state.SetIterationTime(loop.RoundTrip());
}

bool RaiseDescriptorLimit(rlim_t needed) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < needed && limit.rlim_max >= needed) {
        limit.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur >= needed;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int kMostIdle = 5000;
    if (!RaiseDescriptorLimit(2 * kMostIdle + 256))
        std::fprintf(stderr, "Too few descriptors allowed for %d idle sockets\n", kMostIdle);
    for (const bool epoll : {false, true})
        benchmark::RegisterBenchmark(epoll ? "RoundTrip/epoll" : "RoundTrip/stock",
                                     [epoll](benchmark::State& state) { RoundTrip(state, epoll); })
            ->ArgName("idle")
            ->Arg(0)
            ->Arg(1000)
            ->Arg(kMostIdle)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
