// One ping-pong round trip through an event loop that also watches many idle
// sockets, on Qt's stock dispatcher and on TEpollEventDispatcher (the
// server's loop, headless and on its own thread beside the window), and on
// the main thread of a QApplication with a window on screen, on the offscreen
// platform unless QT_QPA_PLATFORM says otherwise: what a server on the GUI
// thread would get.
//
// The stock and epoll loops run on a worker thread whose dispatcher is chosen
// per case; the GUI case runs on the main thread, which runs the
// application's loop while the benchmarks run on a thread of their own. The
// loop times, itself, from writing the ping on one end of a socket pair to
// reading the pong that its other notifier echoed: two dispatcher passes.
// Waking the loop for each round is not timed (manual time).

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QLabel>
#include <QSemaphore>
#include <QSocketNotifier>
#include <QThread>
#include <thread>

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

enum class Loop { Stock, Epoll, Gui };

// The loop's thread with its sockets; everything Qt in it is made and
// destroyed on that thread (a worker, or the main thread for the GUI loop).
class LoopThread {
public:
    LoopThread(Loop loop, int idle) : m_onMain(loop == Loop::Gui) {
        if (m_onMain) {
            m_context.moveToThread(QCoreApplication::instance()->thread());
        } else {
            if (loop == Loop::Epoll)
                m_thread.setEventDispatcher(new TEpollEventDispatcher);
            m_thread.start();
            m_context.moveToThread(&m_thread);
        }
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
        if (!m_onMain) {
            m_thread.quit();
            m_thread.wait();
        }
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

    bool m_onMain;
    QThread m_thread;
    QObject m_context;
    std::vector<Pair> m_idle;
    Pair m_busy;
    std::vector<std::unique_ptr<QSocketNotifier>> m_notifiers;
    QSemaphore m_done;
    Clock::time_point m_start;
    Clock::duration m_elapsed{};
};

void RoundTrip(benchmark::State& state, Loop kind) {
    const int idle = static_cast<int>(state.range(0));
    LoopThread loop(kind, idle);
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
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The GUI program's loop has a window on screen.
    QLabel window(QStringLiteral("Zel Wireless Server"));
    window.resize(400, 300);
    window.show();

    constexpr int kMostIdle = 5000;
    if (!RaiseDescriptorLimit(2 * kMostIdle + 256))
        std::fprintf(stderr, "Too few descriptors allowed for %d idle sockets\n", kMostIdle);
    const struct {
        const char* name;
        Loop loop;
    } cases[] = {{"RoundTrip/stock", Loop::Stock},
                 {"RoundTrip/epoll", Loop::Epoll},
                 {"RoundTrip/gui-platform-dispatcher", Loop::Gui}};
    for (const auto& c : cases)
        benchmark::RegisterBenchmark(c.name,
                                     [loop = c.loop](benchmark::State& state) { RoundTrip(state, loop); })
            ->ArgName("idle")
            ->Arg(0)
            ->Arg(1000)
            ->Arg(kMostIdle)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    // The main thread serves the application's loop (the GUI case's loop)
    // while the benchmarks run beside it.
    std::thread runner([] {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    QApplication::exec();
    runner.join();
    return 0;
}
