#pragma once

#include <QAbstractEventDispatcher>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

struct epoll_event;

// Event dispatcher of the main thread built on epoll: the cost of one wake-up
// depends on what is ready, not on how many sockets are watched. The stock
// Unix dispatcher builds a poll list of every notifier on every iteration,
// which a server holding a thousand idle connections pays for each event.
//
// Behaves as Qt code expects of a dispatcher: posted events are sent every
// iteration and wakeUp() may be called from any thread; socket notifiers are
// level-triggered (a notifier keeps firing while it is enabled and its
// condition holds); timers fire in order of expiry, each at most once per
// iteration, and are re-armed before their event is sent.
//
// A notifier or timer that is unregistered, or registered anew, while a batch
// is being dispatched is not activated by that batch: dispatch looks entries
// up by descriptor or timer id at the moment of delivery.
class TEpollEventDispatcher : public QAbstractEventDispatcher {
public:
    explicit TEpollEventDispatcher(QObject* parent = nullptr);
    ~TEpollEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

    // Descriptors with at least one enabled notifier (for tests).
    size_t WatchedDescriptors() const { return m_fds.size(); }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int kTypes = 3; // QSocketNotifier::Read, Write, Exception

    // The notifiers of one descriptor share one epoll registration.
    struct FdEntry {
        std::array<QSocketNotifier*, kTypes> notifiers{};
        // Set when a wait reported the condition, cleared when delivered (or
        // when the notifier changes), so a nested loop that delivered it first
        // keeps the outer batch from delivering it again.
        std::array<bool, kTypes> pending{};
        uint32_t events = 0;      // the interest set given to the kernel
        uint32_t generation = 0;  // tells stale kernel reports from the current registration
        bool alwaysReady = false; // a regular file: epoll refuses it, poll calls it ready
    };

    struct Timer {
        QObject* object = nullptr;
        qint64 interval = 0; // milliseconds, as registered
        Qt::TimerType type = Qt::CoarseTimer;
        Clock::time_point base;    // the exact expiry
        Clock::time_point timeout; // when it fires: base, or later by the slack its type allows
        uint64_t serial = 0;       // unique per registration; orders equal expiries
        bool active = false;       // its event is being delivered (a nested loop must not refire it)
    };
    using TimerKey = std::pair<Clock::time_point, uint64_t>;

    int WaitTimeoutMs(bool canWait, bool includeTimers, bool includeNotifiers) const;
    int Wait(epoll_event* events, int maxEvents, int timeoutMs, bool includeNotifiers);
    void DrainWakeUps();
    int ActivateSocketNotifiers(const epoll_event* events, int count);
    int DeliverPending(int fd);
    int ActivateTimers();
    void ArmTimer(Timer& timer, Clock::time_point now);
    void UpdateRegistration(int fd, FdEntry& entry);
    void EraseTimer(std::unordered_map<int, Timer>::iterator it);

    int m_epoll = -1;
    int m_wakeFd = -1;
    std::atomic<bool> m_wakePending{false};
    bool m_ownWakeUp = false; // a wake-up from this thread, not written to m_wakeFd; this thread only
    std::atomic<bool> m_interrupted{false};

    std::unordered_map<int, FdEntry> m_fds;
    std::vector<int> m_alwaysReady; // descriptors of entries with alwaysReady set
    uint32_t m_nextGeneration = 1;

    std::unordered_map<int, Timer> m_timers;
    std::map<TimerKey, int> m_timerQueue; // expiry order -> timer id
    std::unordered_multimap<QObject*, int> m_timersByObject;
    uint64_t m_nextSerial = 1;
};

// Makes the main thread use TEpollEventDispatcher. Call before the
// QCoreApplication is constructed; Qt takes ownership. The environment
// variable ZEL_EVENT_DISPATCHER=qt keeps Qt's own dispatcher. True when
// installed.
bool InstallEpollEventDispatcher();
