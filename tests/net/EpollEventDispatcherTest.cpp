#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>

#include "net/EpollEventDispatcher.h"
#include "support/EventLoop.h"

// These cases hold for any dispatcher Qt code may meet; run with
// ZEL_EVENT_DISPATCHER=qt they check Qt's own, which keeps the cases honest.

namespace {

TEpollEventDispatcher* Epoll() {
    return dynamic_cast<TEpollEventDispatcher*>(QAbstractEventDispatcher::instance());
}

// One pass of the dispatcher, without waiting.
void Pass() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Runs loop until something quits it; false when timeoutMs passed first.
bool ExecFor(QEventLoop& loop, int timeoutMs = 5000) {
    bool timedOut = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    guard.start(timeoutMs);
    loop.exec();
    return !timedOut;
}

// A connected non-blocking Unix stream pair.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd), 0); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    ~SocketPair() {
        Close(0);
        Close(1);
    }
    void Close(int i) {
        if (fd[i] >= 0)
            close(fd[i]);
        fd[i] = -1;
    }
    void Send(int i, const std::string& bytes = "x") const {
        ASSERT_EQ(write(fd[i], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything readable now; empty when nothing is.
    std::string Drain(int i) const {
        std::string bytes;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd[i], buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }
};

// Counts the activations of one notifier.
struct Watch {
    std::unique_ptr<QSocketNotifier> notifier;
    int count = 0;
    Watch(int fd, QSocketNotifier::Type type) : notifier(std::make_unique<QSocketNotifier>(fd, type)) {
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { ++count; });
    }
};

class EpollEventDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureTestApp();
        // Leftovers of earlier cases in this process must not count here.
        for (int i = 0; i < 3; ++i)
            Pass();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

TEST_F(EpollEventDispatcherTest, InstalledUnlessQtsOwnIsAsked) {
    if (qgetenv("ZEL_EVENT_DISPATCHER") == "qt") {
        EXPECT_EQ(Epoll(), nullptr);
    } else {
        ASSERT_NE(Epoll(), nullptr);
    }
    // Too late once the application exists: nothing is replaced.
    if (!Epoll()) {
        EXPECT_FALSE(InstallEpollEventDispatcher());
    }
}

// Records the events it receives, and can post more while handling one.
class Recorder : public QObject {
public:
    std::vector<int> received;
    int repostOf = -1;
    bool event(QEvent* e) override {
        if (e->type() < QEvent::User)
            return QObject::event(e);
        const int n = e->type() - QEvent::User;
        received.push_back(n);
        if (n == repostOf)
            QCoreApplication::postEvent(this, new QEvent(QEvent::Type(QEvent::User + 100 + n)));
        return true;
    }
};

TEST_F(EpollEventDispatcherTest, PostedEventsArriveInOrderAndReposts) {
    Recorder recorder;
    recorder.repostOf = 1;
    for (int n = 0; n < 3; ++n)
        QCoreApplication::postEvent(&recorder, new QEvent(QEvent::Type(QEvent::User + n)));
    // An event posted while posted events are sent waits for a later pass,
    // and must not let the loop fall asleep with it queued.
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&] { QTimer::singleShot(0, &loop, &QEventLoop::quit); });
    ASSERT_TRUE(ExecFor(loop));
    EXPECT_EQ(recorder.received, (std::vector<int>{0, 1, 2, 101}));
}

TEST_F(EpollEventDispatcherTest, DeleteLaterInsideAndOutsideNestedLoop) {
    QEventLoop outer;
    QPointer<QObject> early = new QObject;
    QPointer<QObject> inNested = new QObject;
    bool nestedSawEarlyAlive = false;
    QTimer::singleShot(0, &outer, [&] {
        early->deleteLater();
        QEventLoop nested;
        QTimer::singleShot(0, &nested, [&] { inNested->deleteLater(); });
        QTimer::singleShot(30, &nested, &QEventLoop::quit);
        nested.exec();
        // Posted from the outer level: it waits until control returns there.
        nestedSawEarlyAlive = !early.isNull();
        QTimer::singleShot(0, &outer, &QEventLoop::quit);
    });
    ASSERT_TRUE(ExecFor(outer));
    EXPECT_TRUE(nestedSawEarlyAlive);
    EXPECT_TRUE(early.isNull());
    EXPECT_TRUE(inNested.isNull());
}

TEST_F(EpollEventDispatcherTest, SingleShotTimersFireInOrderOfExpiry) {
    std::vector<int> fired;
    QEventLoop loop;
    for (int ms : {40, 10, 0, 25, 10, 1})
        QTimer::singleShot(ms, &loop, [&fired, ms] { fired.push_back(ms); });
    QTimer::singleShot(60, &loop, &QEventLoop::quit);
    ASSERT_TRUE(ExecFor(loop));
    EXPECT_EQ(fired, (std::vector<int>{0, 1, 10, 10, 25, 40}));
}

TEST_F(EpollEventDispatcherTest, RepeatingTimerAndTimerQueries) {
    QEventLoop loop;
    QTimer repeating;
    repeating.setTimerType(Qt::PreciseTimer);
    int ticks = 0;
    int remainingInside = -2;
    QObject::connect(&repeating, &QTimer::timeout, &loop, [&] {
        if (++ticks == 1)
            remainingInside = repeating.remainingTime(); // already re-armed
        if (ticks == 5)
            loop.quit();
    });
    repeating.start(5);
    ASSERT_TRUE(ExecFor(loop));
    EXPECT_EQ(ticks, 5);
    EXPECT_GE(remainingInside, 0);
    EXPECT_LE(remainingInside, 5);

    QObject owner;
    const int precise = owner.startTimer(250, Qt::PreciseTimer);
    const int coarse = owner.startTimer(1000, Qt::CoarseTimer);
    auto* dispatcher = QAbstractEventDispatcher::instance();
    const auto timers = dispatcher->registeredTimers(&owner);
    ASSERT_EQ(timers.size(), 2);
    for (const auto& info : timers) {
        EXPECT_TRUE(info.timerId == precise || info.timerId == coarse);
        EXPECT_EQ(info.interval, info.timerId == precise ? 250 : 1000);
        if (info.timerId == precise) {
            EXPECT_EQ(info.timerType, Qt::PreciseTimer);
        }
    }
    EXPECT_GT(dispatcher->remainingTime(precise), 200);
    EXPECT_LE(dispatcher->remainingTime(precise), 250);
    EXPECT_GT(dispatcher->remainingTime(coarse), 900);
    EXPECT_LE(dispatcher->remainingTime(coarse), 1050);
    owner.killTimer(precise);
    EXPECT_EQ(dispatcher->remainingTime(precise), -1);
    EXPECT_EQ(dispatcher->registeredTimers(&owner).size(), 1);
    EXPECT_FALSE(dispatcher->unregisterTimer(precise));
    EXPECT_TRUE(dispatcher->unregisterTimers(&owner));
    EXPECT_TRUE(dispatcher->registeredTimers(&owner).isEmpty());
}

// Coarse timers may be late by their slack, never early by more than Qt allows.
TEST_F(EpollEventDispatcherTest, CoarseTimersDoNotFireEarly) {
    for (const Qt::TimerType type : {Qt::PreciseTimer, Qt::CoarseTimer, Qt::VeryCoarseTimer}) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(type);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        timer.start(type == Qt::VeryCoarseTimer ? 1000 : 120);
        ASSERT_TRUE(ExecFor(loop, 5000)) << type;
        EXPECT_GE(clock.elapsed(), type == Qt::VeryCoarseTimer ? 500 : 114) << type;
    }
}

// Timers that start, stop and replace each other from their own events.
class TimerTangle : public QObject {
public:
    std::vector<int> fired;
    int a = startTimer(0);
    int b = startTimer(0);
    int c = 0;

protected:
    void timerEvent(QTimerEvent* e) override {
        fired.push_back(e->timerId());
        if (e->timerId() == a && c == 0) {
            killTimer(b);
            c = startTimer(0); // may reuse b's id: must not fire in this pass
        }
    }
};

TEST_F(EpollEventDispatcherTest, TimerKilledByAnotherInTheSamePassDoesNotFire) {
    TimerTangle tangle;
    const int b = tangle.b;
    Pass();
    EXPECT_EQ(tangle.fired, std::vector<int>{tangle.a});
    Pass();
    EXPECT_EQ(tangle.fired, (std::vector<int>{tangle.a, tangle.a, tangle.c}));
    if (tangle.c != b) {
        EXPECT_EQ(std::count(tangle.fired.begin(), tangle.fired.end(), b), 0);
    }
}

TEST_F(EpollEventDispatcherTest, ZeroTimerDoesNotStarveReadySocket) {
    SocketPair pair;
    Watch reader(pair.fd[0], QSocketNotifier::Read);
    QEventLoop loop;
    int spins = 0;
    QTimer spinner;
    QObject::connect(&spinner, &QTimer::timeout, &loop, [&] { ++spins; });
    spinner.start(0);
    QObject::connect(reader.notifier.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QTimer::singleShot(20, &loop, [&] { pair.Send(1); });
    ASSERT_TRUE(ExecFor(loop, 5000)) << "zero timer ran " << spins << " times";
    EXPECT_EQ(reader.count, 1);
    EXPECT_GT(spins, 0);
}

TEST_F(EpollEventDispatcherTest, ReadNotifierIsLevelTriggered) {
    SocketPair pair;
    Watch reader(pair.fd[0], QSocketNotifier::Read);
    Pass();
    EXPECT_EQ(reader.count, 0);
    pair.Send(1, "abc");
    for (int i = 0; i < 3; ++i)
        Pass();
    EXPECT_EQ(reader.count, 3) << "unread input keeps the notifier firing";
    EXPECT_EQ(pair.Drain(0), "abc");
    Pass();
    EXPECT_EQ(reader.count, 3);
}

TEST_F(EpollEventDispatcherTest, ReadAndWriteNotifiersShareOneDescriptor) {
    SocketPair pair;
    const size_t before = Epoll() ? Epoll()->WatchedDescriptors() : 0;
    Watch reader(pair.fd[0], QSocketNotifier::Read);
    Watch writer(pair.fd[0], QSocketNotifier::Write);
    if (Epoll()) {
        EXPECT_EQ(Epoll()->WatchedDescriptors(), before + 1);
    }

    Pass();
    EXPECT_EQ(reader.count, 0);
    EXPECT_EQ(writer.count, 1);

    pair.Send(1);
    Pass();
    EXPECT_EQ(reader.count, 1);
    EXPECT_EQ(writer.count, 2);

    // Switching write off keeps read on, and back.
    writer.notifier->setEnabled(false);
    Pass();
    EXPECT_EQ(reader.count, 2);
    EXPECT_EQ(writer.count, 2);
    reader.notifier->setEnabled(false);
    if (Epoll()) {
        EXPECT_EQ(Epoll()->WatchedDescriptors(), before);
    }
    Pass();
    EXPECT_EQ(reader.count, 2);
    writer.notifier->setEnabled(true);
    Pass();
    EXPECT_EQ(reader.count, 2);
    EXPECT_EQ(writer.count, 3);
    reader.notifier->setEnabled(true);
    Pass();
    EXPECT_EQ(reader.count, 3);
    EXPECT_EQ(writer.count, 4);

    // Write readiness ends while the peer does not read, and comes back.
    const std::string chunk(65536, 'y');
    while (write(pair.fd[0], chunk.data(), chunk.size()) > 0) {
    }
    Pass();
    EXPECT_EQ(writer.count, 4);
    pair.Drain(1);
    Pass();
    EXPECT_EQ(writer.count, 5);
}

// Two descriptors ready in the same pass; whichever is delivered first
// silences the other.
TEST_F(EpollEventDispatcherTest, NotifierSilencedByAnEarlierOneOfTheBatch) {
    enum Action { Delete, Disable, DeleteAndReuseDescriptor };
    for (const Action action : {Delete, Disable, DeleteAndReuseDescriptor}) {
        SCOPED_TRACE(action);
        SocketPair pairs[2];
        std::unique_ptr<QSocketNotifier> notifiers[2];
        std::unique_ptr<SocketPair> replacement;
        std::unique_ptr<Watch> onReusedNumber;
        int fired[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            notifiers[i] = std::make_unique<QSocketNotifier>(pairs[i].fd[0], QSocketNotifier::Read);
            QObject::connect(notifiers[i].get(), &QSocketNotifier::activated, [&, i] {
                ++fired[i];
                pairs[i].Drain(0);
                const int other = 1 - i;
                if (!notifiers[other])
                    return;
                if (action == Disable) {
                    notifiers[other]->setEnabled(false);
                    return;
                }
                notifiers[other].reset();
                if (action == DeleteAndReuseDescriptor) {
                    // A new, silent socket under the number the deleted notifier watched.
                    const int number = pairs[other].fd[0];
                    pairs[other].Close(0);
                    replacement = std::make_unique<SocketPair>();
                    if (replacement->fd[0] != number) {
                        ASSERT_EQ(dup3(replacement->fd[0], number, O_CLOEXEC), number);
                        close(replacement->fd[0]);
                        replacement->fd[0] = number;
                    }
                    onReusedNumber = std::make_unique<Watch>(number, QSocketNotifier::Read);
                }
            });
            pairs[i].Send(1);
        }
        Pass();
        Pass();
        EXPECT_EQ(fired[0] + fired[1], 1);
        if (onReusedNumber) {
            EXPECT_EQ(onReusedNumber->count, 0) << "nothing was ever sent on the new socket";
        }
        onReusedNumber.reset();
        notifiers[0].reset();
        notifiers[1].reset();
    }
}

// The owner of a notifier schedules its own deletion from its slot while its
// input is still unread.
class Connection : public QObject {
public:
    Connection(int fd, int* activations) {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, activations] {
            ++*activations;
            deleteLater();
        });
    }
};

TEST_F(EpollEventDispatcherTest, OwnerDeletedLaterFromItsNotifierSlot) {
    SocketPair pair;
    int activations = 0;
    QPointer<Connection> connection = new Connection(pair.fd[0], &activations);
    pair.Send(1, "unread");
    QEventLoop loop;
    QObject::connect(connection.data(), &QObject::destroyed, &loop,
                     [&] { QTimer::singleShot(20, &loop, &QEventLoop::quit); });
    ASSERT_TRUE(ExecFor(loop));
    EXPECT_TRUE(connection.isNull());
    EXPECT_EQ(activations, 1);
}

// The end of a connection reaches the owner as readiness, even of a
// notifier that waits for room to write.
TEST_F(EpollEventDispatcherTest, PeerCloseIsDeliveredAsActivation) {
    struct Case {
        const char* name;
        bool tcp;
        bool reset; // SO_LINGER 0: the peer sends RST instead of FIN
        QSocketNotifier::Type watched;
    };
    const Case cases[] = {
        {"socketpair close, read", false, false, QSocketNotifier::Read},
        {"tcp close, read", true, false, QSocketNotifier::Read},
        {"tcp reset, read", true, true, QSocketNotifier::Read},
        {"socketpair close, write blocked", false, false, QSocketNotifier::Write},
        {"tcp reset, write blocked", true, true, QSocketNotifier::Write},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int mine = -1, peer = -1;
        if (c.tcp) {
            const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof addr;
            ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ASSERT_EQ(listen(listener, 1), 0);
            ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
            peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            mine = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            close(listener);
            ASSERT_GE(mine, 0);
        } else {
            int fds[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
            mine = fds[0];
            peer = fds[1];
        }
        const bool writing = c.watched == QSocketNotifier::Write;
        if (writing) {
            const std::string chunk(65536, 'z');
            while (send(mine, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
            }
        }
        Watch watch(mine, c.watched);
        Pass();
        EXPECT_EQ(watch.count, 0) << "nothing to read, no room to write";
        if (c.reset) {
            const linger hard{1, 0};
            setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(peer);
        QEventLoop loop;
        QObject::connect(watch.notifier.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        ASSERT_TRUE(ExecFor(loop));
        char byte = 0;
        errno = 0;
        const ssize_t n = writing ? send(mine, &byte, 1, MSG_NOSIGNAL) : recv(mine, &byte, 1, 0);
        if (writing) {
            EXPECT_TRUE(n < 0 && (errno == EPIPE || errno == ECONNRESET)) << n << " " << errno;
        } else if (c.reset) {
            EXPECT_TRUE(n < 0 && errno == ECONNRESET) << n << " " << errno;
        } else {
            EXPECT_EQ(n, 0);
        }
        watch.notifier.reset();
        close(mine);
    }
}

// poll() calls a regular file always ready; epoll refuses to watch one.
TEST_F(EpollEventDispatcherTest, NotifierOnRegularFileIsAlwaysReady) {
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    Watch reader(file.handle(), QSocketNotifier::Read);
    Pass();
    Pass();
    EXPECT_EQ(reader.count, 2);
    reader.notifier->setEnabled(false);
    Pass();
    EXPECT_EQ(reader.count, 2);
}

TEST_F(EpollEventDispatcherTest, ProcessEventsFlagsExcludeSourcesForOnePass) {
    if (!Epoll())
        GTEST_SKIP() << "Qt's glib-based dispatcher ignores ExcludeSocketNotifiers";
    SocketPair pair;
    Watch reader(pair.fd[0], QSocketNotifier::Read);
    pair.Send(1);
    QObject owner;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &owner, [&] { ++ticks; });
    timer.start(0);

    QCoreApplication::processEvents(QEventLoop::ExcludeSocketNotifiers);
    EXPECT_EQ(reader.count, 0);
    EXPECT_EQ(ticks, 1);
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
    EXPECT_EQ(reader.count, 1);
    EXPECT_EQ(ticks, 1);
    Pass();
    EXPECT_EQ(reader.count, 2);
    EXPECT_EQ(ticks, 2);
}

// A blocked wait ends when another thread posts, wakes or interrupts.
// An event posted on the loop's own thread, outside any handler, must not
// leave the next waiting pass asleep until something else happens.
TEST_F(EpollEventDispatcherTest, OwnThreadPostEndsTheNextWait) {
    Recorder recorder;
    std::atomic<bool> done{false};
    auto* dispatcher = QAbstractEventDispatcher::instance();
    // Only a broken dispatcher needs this rescue; the test then fails on time.
    std::thread rescue([&] {
        for (int i = 0; i < 500 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done)
            dispatcher->interrupt();
    });
    for (int round = 0; round < 3; ++round) {
        Pass();
        QCoreApplication::postEvent(&recorder, new QEvent(QEvent::Type(QEvent::User + round)));
        QElapsedTimer elapsed;
        elapsed.start();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (recorder.received.size() < static_cast<size_t>(round) + 1)
            Pass();
        EXPECT_LT(elapsed.elapsed(), 2000) << "round " << round;
    }
    done = true;
    rescue.join();
    EXPECT_EQ(recorder.received, (std::vector<int>{0, 1, 2}));
}

TEST_F(EpollEventDispatcherTest, OtherThreadEndsABlockedWait) {
    auto* dispatcher = QAbstractEventDispatcher::instance();
    int blocks = 0, awakes = 0;
    QObject counters;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &counters, [&] { ++blocks; });
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, &counters, [&] { ++awakes; });

    enum Poke { Post, WakeUp, Interrupt };
    for (const Poke poke : {Post, WakeUp, Interrupt}) {
        SCOPED_TRACE(poke);
        Recorder recorder;
        bool guardFired = false;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] { guardFired = true; });
        guard.start(5000);
        // Set before the poke, so a wait the poke ends always sees it.
        std::atomic<bool> poked{false};
        std::thread worker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            poked = true;
            if (poke == Post)
                QCoreApplication::postEvent(&recorder, new QEvent(QEvent::Type(QEvent::User + 7)));
            else if (poke == WakeUp)
                dispatcher->wakeUp();
            else
                dispatcher->interrupt();
        });
        int passes = 0;
        do {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            ++passes;
        } while (!guardFired && !poked && passes < 100);
        worker.join();
        EXPECT_FALSE(guardFired);
        if (poke == Post) {
            // Some dispatchers send it in the pass that woke, others in the next.
            Pass();
            EXPECT_EQ(recorder.received, std::vector<int>{7});
        }
    }
    EXPECT_GT(blocks, 0);
    EXPECT_GT(awakes, 0);
}

// A nested loop run from inside a notifier's slot serves the other
// descriptor of the batch; the outer batch must not deliver it again, nor
// refire the timer whose event is still being handled.
TEST_F(EpollEventDispatcherTest, NestedLoopInsideNotifierAndTimer) {
    SocketPair pairs[2];
    std::unique_ptr<Watch> watches[2];
    int emptyReads = 0;
    bool nestedDone = false;
    for (int i = 0; i < 2; ++i) {
        watches[i] = std::make_unique<Watch>(pairs[i].fd[0], QSocketNotifier::Read);
        QObject::connect(watches[i]->notifier.get(), &QSocketNotifier::activated, [&, i] {
            if (pairs[i].Drain(0).empty())
                ++emptyReads;
            if (watches[0]->count + watches[1]->count > 1)
                return;
            // The first one delivered serves the other from a nested loop.
            QEventLoop nested;
            QTimer::singleShot(30, &nested, &QEventLoop::quit);
            nested.exec();
            nestedDone = true;
        });
        pairs[i].Send(1);
    }
    Pass();
    EXPECT_TRUE(nestedDone);
    EXPECT_EQ(watches[0]->count, 1);
    EXPECT_EQ(watches[1]->count, 1);
    EXPECT_EQ(emptyReads, 0);
    watches[0].reset();
    watches[1].reset();

    QEventLoop loop;
    QTimer repeating;
    int ticks = 0, ticksWhileNested = 0;
    QObject::connect(&repeating, &QTimer::timeout, &loop, [&] {
        if (++ticks > 1)
            return loop.quit();
        QEventLoop nested;
        QTimer::singleShot(40, &nested, &QEventLoop::quit);
        nested.exec();
        ticksWhileNested = ticks - 1;
    });
    repeating.start(1);
    ASSERT_TRUE(ExecFor(loop));
    EXPECT_EQ(ticksWhileNested, 0);
    EXPECT_EQ(ticks, 2);
}

// Correctness of a busy pair among many idle ones (speed is the benchmark's).
TEST_F(EpollEventDispatcherTest, PingPongAmongTwoThousandIdleSockets) {
    constexpr int kIdle = 2000;
    constexpr int kRounds = 10000;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t needed = 2 * kIdle + 256;
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = std::min(needed, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < needed)
        GTEST_SKIP() << "needs " << needed << " descriptors, the limit is " << limit.rlim_cur;

    std::vector<SocketPair> idle(kIdle);
    std::vector<std::unique_ptr<Watch>> idleWatches;
    for (const SocketPair& pair : idle)
        idleWatches.push_back(std::make_unique<Watch>(pair.fd[0], QSocketNotifier::Read));
    if (Epoll()) {
        EXPECT_GE(Epoll()->WatchedDescriptors(), static_cast<size_t>(kIdle));
    }

    SocketPair busy;
    QEventLoop loop;
    int rounds = 0;
    Watch left(busy.fd[0], QSocketNotifier::Read);
    Watch right(busy.fd[1], QSocketNotifier::Read);
    QObject::connect(right.notifier.get(), &QSocketNotifier::activated, [&] {
        ASSERT_EQ(busy.Drain(1), "p");
        busy.Send(1, "q");
    });
    QObject::connect(left.notifier.get(), &QSocketNotifier::activated, &loop, [&] {
        ASSERT_EQ(busy.Drain(0), "q");
        if (++rounds == kRounds)
            loop.quit();
        else
            busy.Send(0, "p");
    });
    busy.Send(0, "p");
    ASSERT_TRUE(ExecFor(loop, 120000)) << rounds << " rounds";
    EXPECT_EQ(rounds, kRounds);
    EXPECT_EQ(left.count, kRounds);
    EXPECT_EQ(right.count, kRounds);
    int idleActivations = 0;
    for (const auto& watch : idleWatches)
        idleActivations += watch->count;
    EXPECT_EQ(idleActivations, 0);
    idleWatches.clear();
}

} // namespace

// Several threads post to a loop running on a thread of its own, each waiting
// for its burst to be handled before the next, so the loop goes to sleep and
// is woken over and over while other wake-ups race with the one it drains.
// A lost wake-up leaves a poster waiting for ever.
TEST(EpollEventDispatcherBurstTest, WakeUpsFromManyThreadsAreNeverLost) {
    EnsureTestApp();
    constexpr int kPosters = 4;
    constexpr int kRounds = 25000;
    QThread loopThread;
    loopThread.setEventDispatcher(new TEpollEventDispatcher);
    QObject receiver;
    receiver.moveToThread(&loopThread);
    loopThread.start();

    std::vector<std::unique_ptr<std::counting_semaphore<>>> handled;
    for (int p = 0; p < kPosters; ++p)
        handled.push_back(std::make_unique<std::counting_semaphore<>>(0));
    std::atomic<bool> stuck{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int round = 0; round < kRounds && !stuck; ++round) {
                const int burst = 1 + round % 3;
                for (int i = 0; i < burst; ++i)
                    QMetaObject::invokeMethod(
                        &receiver, [&, p] { handled[p]->release(); }, Qt::QueuedConnection);
                for (int i = 0; i < burst; ++i) {
                    if (!handled[p]->try_acquire_for(std::chrono::seconds(10))) {
                        stuck = true;
                        return;
                    }
                }
            }
        });
    }
    for (auto& poster : posters)
        poster.join();
    EXPECT_FALSE(stuck) << "a posted event waited 10 s: a wake-up was lost";
    loopThread.quit();
    // A loop that lost its wake-up may not hear the quit either.
    if (!loopThread.wait(QDeadlineTimer(5000))) {
        loopThread.terminate();
        loopThread.wait();
    }
}
