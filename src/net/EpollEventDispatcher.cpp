#include "net/EpollEventDispatcher.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

namespace {

using std::chrono::milliseconds;

// Marks the wake-up descriptor in epoll reports; socket reports carry the
// registration's generation in the high half, which is never all ones.
constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr int kMaxEvents = 256;

constexpr int kRead = QSocketNotifier::Read;
constexpr int kWrite = QSocketNotifier::Write;
constexpr int kException = QSocketNotifier::Exception;

const char* TypeName(int type) {
    static const char* const names[] = {"Read", "Write", "Exception"};
    return names[type];
}

// Coarse timers may fire up to 5% late so that wake-ups of timers with
// nearby expiries coincide; below 20 ms that slack is under a millisecond
// and above 20 s it is over a second, where very coarse takes over.
milliseconds Granularity(qint64 interval, Qt::TimerType type) {
    if (type == Qt::PreciseTimer || (type == Qt::CoarseTimer && interval <= 20))
        return milliseconds(0);
    if (type == Qt::VeryCoarseTimer || interval >= 20000)
        return milliseconds(1000);
    const qint64 slack = interval / 20;
    for (qint64 step : {500, 250, 100, 50, 25, 10, 5, 2})
        if (step <= slack)
            return milliseconds(step);
    return milliseconds(1);
}

// Rounds up, never down: a timer never fires before its interval has passed.
std::chrono::steady_clock::time_point FireTime(std::chrono::steady_clock::time_point base, qint64 interval,
                                               Qt::TimerType type) {
    const milliseconds step = Granularity(interval, type);
    if (step.count() == 0)
        return base;
    const auto sinceEpoch = base.time_since_epoch();
    const auto steps = (sinceEpoch + step - std::chrono::nanoseconds(1)) / step;
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(steps * step));
}

int CeilMs(std::chrono::steady_clock::duration d) {
    if (d <= std::chrono::steady_clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<milliseconds>(d).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // namespace

TEpollEventDispatcher::TEpollEventDispatcher(QObject* parent) : QAbstractEventDispatcher(parent) {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_wakeFd < 0)
        qFatal("TEpollEventDispatcher: cannot create the epoll or wake-up descriptor: %s",
               std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &ev) < 0)
        qFatal("TEpollEventDispatcher: cannot watch the wake-up descriptor: %s", std::strerror(errno));
    // Events posted before this dispatcher existed were announced to nobody.
    wakeUp();
}

TEpollEventDispatcher::~TEpollEventDispatcher() {
    close(m_wakeFd);
    close(m_epoll);
}

bool TEpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    m_interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    // A wake-up of this thread's own is answered by the send below, and the
    // wait of this pass does not block, as if the descriptor had been
    // written; the flag is cleared first, so a later wake-up counts anew.
    const bool ownWakeUp = m_ownWakeUp;
    if (ownWakeUp) {
        m_ownWakeUp = false;
        m_wakePending.store(false, std::memory_order_seq_cst);
    }
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load();
    if (canWait)
        emit aboutToBlock();
    if (m_interrupted.load())
        return false;

    // Events posted meanwhile have written the wake-up descriptor, so the
    // wait below returns at once for them.
    epoll_event events[kMaxEvents];
    const int timeoutMs = ownWakeUp ? 0 : WaitTimeoutMs(canWait, includeTimers, includeNotifiers);
    const int count = Wait(events, kMaxEvents, timeoutMs, includeNotifiers);
    if (m_interrupted.load())
        return false;

    int delivered = ownWakeUp ? 1 : 0;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kWakeKey) {
            DrainWakeUps();
            QCoreApplication::sendPostedEvents();
            ++delivered;
            break;
        }
    }
    if (includeNotifiers)
        delivered += ActivateSocketNotifiers(events, count);
    if (includeTimers)
        delivered += ActivateTimers();
    return delivered > 0;
}

int TEpollEventDispatcher::WaitTimeoutMs(bool canWait, bool includeTimers, bool includeNotifiers) const {
    if (!canWait || m_ownWakeUp || (includeNotifiers && !m_alwaysReady.empty()))
        return 0;
    if (!includeTimers)
        return -1;
    // A timer whose event is being delivered (a nested loop runs inside its
    // handler) cannot fire again, so it must not cut the wait short either.
    for (const auto& [key, id] : m_timerQueue) {
        if (m_timers.at(id).active)
            continue;
        return CeilMs(key.first - Clock::now());
    }
    return -1;
}

int TEpollEventDispatcher::Wait(epoll_event* events, int maxEvents, int timeoutMs, bool includeNotifiers) {
    if (includeNotifiers) {
        const int count = epoll_wait(m_epoll, events, maxEvents, timeoutMs);
        if (count < 0 && errno != EINTR)
            qErrnoWarning("TEpollEventDispatcher: epoll_wait");
        return count < 0 ? 0 : count;
    }
    pollfd wake{m_wakeFd, POLLIN, 0};
    const int count = poll(&wake, 1, timeoutMs);
    if (count < 0 && errno != EINTR)
        qErrnoWarning("TEpollEventDispatcher: poll");
    if (count <= 0)
        return 0;
    events[0].events = EPOLLIN;
    events[0].data.u64 = kWakeKey;
    return 1;
}

void TEpollEventDispatcher::DrainWakeUps() {
    // Read before the flag is cleared. The other order loses a wake-up: one
    // that came between the two would write while the flag was already
    // clear, the read would swallow its write, and the flag, set again by
    // it, would then keep every later wake-up from writing at all. In this
    // order a wakeUp() before the clear finds the flag set and writes
    // nothing, which is fine: its event was posted before it, and the posted
    // events are sent after this returns.
    uint64_t value = 0;
    while (read(m_wakeFd, &value, sizeof value) < 0 && errno == EINTR) {
    }
    m_wakePending.store(false, std::memory_order_seq_cst);
}

void TEpollEventDispatcher::wakeUp() {
    if (m_wakePending.exchange(true, std::memory_order_seq_cst))
        return;
    // This thread is not waiting while it runs this (an event posted by a
    // handler, the usual case): its next wait only has to return at once,
    // which saves writing and reading the descriptor for every such event.
    if (QThread::currentThread() == thread()) {
        m_ownWakeUp = true;
        return;
    }
    const uint64_t one = 1;
    while (write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TEpollEventDispatcher::interrupt() {
    m_interrupted.store(true);
    wakeUp();
}

// Everything the wait reported is marked first and delivered afterwards, with
// each descriptor looked up again at delivery: a notifier disabled or deleted
// by an earlier delivery of the batch has lost its mark by then.
int TEpollEventDispatcher::ActivateSocketNotifiers(const epoll_event* events, int count) {
    auto mark = [](FdEntry& entry, uint32_t ready) {
        const bool failed = ready & (EPOLLERR | EPOLLHUP);
        if (entry.notifiers[kRead] && ((ready & (EPOLLIN | EPOLLRDHUP)) || failed))
            entry.pending[kRead] = true;
        if (entry.notifiers[kWrite] && ((ready & EPOLLOUT) || failed))
            entry.pending[kWrite] = true;
        if (entry.notifiers[kException] && (ready & EPOLLPRI))
            entry.pending[kException] = true;
    };
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kWakeKey)
            continue;
        const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
        const auto it = m_fds.find(fd);
        if (it != m_fds.end() && it->second.generation == events[i].data.u64 >> 32)
            mark(it->second, events[i].events);
    }
    const std::vector<int> files = m_alwaysReady;
    for (int fd : files)
        mark(m_fds.at(fd), EPOLLIN | EPOLLOUT);

    int delivered = 0;
    for (int i = 0; i < count; ++i)
        if (events[i].data.u64 != kWakeKey)
            delivered += DeliverPending(static_cast<int>(events[i].data.u64 & 0xffffffffu));
    for (int fd : files)
        delivered += DeliverPending(fd);
    return delivered;
}

int TEpollEventDispatcher::DeliverPending(int fd) {
    int delivered = 0;
    for (int type = 0; type < kTypes; ++type) {
        const auto it = m_fds.find(fd);
        if (it == m_fds.end())
            break;
        FdEntry& entry = it->second;
        if (!entry.pending[type])
            continue;
        entry.pending[type] = false;
        // QSocketNotifier turns this event into its activated() signal.
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(entry.notifiers[type], &event);
        ++delivered;
    }
    return delivered;
}

void TEpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const qintptr socket = notifier->socket();
    const int type = notifier->type();
    if (socket < 0 || socket > INT_MAX || type < 0 || type >= kTypes) {
        qWarning("QSocketNotifier: Internal error");
        return;
    }
    if (notifier->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("QSocketNotifier: socket notifiers cannot be enabled from another thread");
        return;
    }
    const int fd = static_cast<int>(socket);
    auto [it, created] = m_fds.try_emplace(fd);
    FdEntry& entry = it->second;
    if (created)
        entry.generation = m_nextGeneration++ & 0x7fffffffu;
    if (entry.notifiers[type] && entry.notifiers[type] != notifier)
        qWarning("QSocketNotifier: Multiple socket notifiers for same socket %d and type %s", fd,
                 TypeName(type));
    entry.notifiers[type] = notifier;
    entry.pending[type] = false;
    UpdateRegistration(fd, entry);
}

void TEpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    const qintptr socket = notifier->socket();
    const int type = notifier->type();
    if (socket < 0 || socket > INT_MAX || type < 0 || type >= kTypes)
        return;
    if (notifier->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("QSocketNotifier: socket notifiers cannot be disabled from another thread");
        return;
    }
    const int fd = static_cast<int>(socket);
    const auto it = m_fds.find(fd);
    if (it == m_fds.end() || it->second.notifiers[type] != notifier)
        return;
    it->second.notifiers[type] = nullptr;
    it->second.pending[type] = false;
    UpdateRegistration(fd, it->second);
}

// Gives the kernel the interest set of the descriptor's notifiers, dropping
// the entry once none is left.
void TEpollEventDispatcher::UpdateRegistration(int fd, FdEntry& entry) {
    uint32_t wanted = 0;
    if (entry.notifiers[kRead])
        wanted |= EPOLLIN;
    if (entry.notifiers[kWrite])
        wanted |= EPOLLOUT;
    if (entry.notifiers[kException])
        wanted |= EPOLLPRI;

    if (entry.alwaysReady) {
        if (wanted == 0) {
            std::erase(m_alwaysReady, fd);
            m_fds.erase(fd);
        }
        return;
    }
    if (wanted == 0) {
        // Fails harmlessly when the owner closed the descriptor first.
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        m_fds.erase(fd);
        return;
    }
    if (wanted == entry.events)
        return;

    epoll_event ev{};
    ev.events = wanted;
    ev.data.u64 = (uint64_t{entry.generation} << 32) | static_cast<uint32_t>(fd);
    int rc = epoll_ctl(m_epoll, entry.events ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    // A descriptor closed and reused while its notifiers stayed enabled is
    // unknown to the kernel; one we thought new may still be known to it.
    if (rc < 0 && errno == ENOENT)
        rc = epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
    else if (rc < 0 && errno == EEXIST)
        rc = epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev);
    if (rc == 0) {
        entry.events = wanted;
        return;
    }
    if (errno == EPERM) {
        // Regular files cannot be watched; poll() reports them always ready.
        entry.alwaysReady = true;
        entry.events = wanted;
        m_alwaysReady.push_back(fd);
        return;
    }
    // The notifier stays registered but inert, as it would be on an invalid descriptor.
    qWarning("QSocketNotifier: Invalid socket %d: %s", fd, std::strerror(errno));
    entry.events = 0;
}

void TEpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                          QObject* object) {
    if (timerId < 1 || interval < 0 || !object) {
        qWarning("TEpollEventDispatcher::registerTimer: invalid arguments");
        return;
    }
    if (object->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("QObject::startTimer: timers cannot be started from another thread");
        return;
    }
    unregisterTimer(timerId);
    Timer timer;
    timer.object = object;
    timer.interval = interval;
    timer.type = timerType;
    timer.serial = m_nextSerial++;
    timer.base = Clock::now() + milliseconds(interval);
    timer.timeout = FireTime(timer.base, interval, timerType);
    m_timerQueue.emplace(TimerKey{timer.timeout, timer.serial}, timerId);
    m_timersByObject.emplace(object, timerId);
    m_timers.emplace(timerId, timer);
}

void TEpollEventDispatcher::EraseTimer(std::unordered_map<int, Timer>::iterator it) {
    const int id = it->first;
    const Timer& timer = it->second;
    m_timerQueue.erase(TimerKey{timer.timeout, timer.serial});
    auto [first, last] = m_timersByObject.equal_range(timer.object);
    for (auto i = first; i != last; ++i) {
        if (i->second == id) {
            m_timersByObject.erase(i);
            break;
        }
    }
    m_timers.erase(it);
}

bool TEpollEventDispatcher::unregisterTimer(int timerId) {
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    EraseTimer(it);
    return true;
}

bool TEpollEventDispatcher::unregisterTimers(QObject* object) {
    auto [first, last] = m_timersByObject.equal_range(object);
    if (first == last)
        return false;
    for (auto i = first; i != last; ++i) {
        const auto it = m_timers.find(i->second);
        m_timerQueue.erase(TimerKey{it->second.timeout, it->second.serial});
        m_timers.erase(it);
    }
    m_timersByObject.erase(first, last);
    return true;
}

QList<QAbstractEventDispatcher::TimerInfo> TEpollEventDispatcher::registeredTimers(QObject* object) const {
    QList<TimerInfo> list;
    auto [first, last] = m_timersByObject.equal_range(object);
    for (auto i = first; i != last; ++i) {
        const Timer& timer = m_timers.at(i->second);
        list.append(TimerInfo(i->second, static_cast<int>(timer.interval), timer.type));
    }
    return list;
}

int TEpollEventDispatcher::remainingTime(int timerId) {
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return -1;
    return CeilMs(it->second.timeout - Clock::now());
}

// The next expiry follows the previous one, so a repeating timer does not
// drift; intervals missed altogether are skipped rather than fired in a burst.
void TEpollEventDispatcher::ArmTimer(Timer& timer, Clock::time_point now) {
    timer.base += milliseconds(timer.interval);
    if (timer.base <= now)
        timer.base = now + milliseconds(timer.interval);
    timer.timeout = FireTime(timer.base, timer.interval, timer.type);
}

// Fires each timer that was due when the pass began, once, in order of
// expiry. Timers registered or re-armed meanwhile wait for the next pass, so
// a zero-interval timer cannot keep sockets from being served.
int TEpollEventDispatcher::ActivateTimers() {
    if (m_timerQueue.empty())
        return 0;
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<int, uint64_t>> due; // id and registration serial
    for (auto it = m_timerQueue.begin(); it != m_timerQueue.end() && it->first.first <= now; ++it)
        due.emplace_back(it->second, it->first.second);

    int delivered = 0;
    for (const auto& [id, serial] : due) {
        auto it = m_timers.find(id);
        // Gone, or its id reused by a new registration, or refired by a nested loop.
        if (it == m_timers.end() || it->second.serial != serial || it->second.active ||
            it->second.timeout > now)
            continue;
        Timer& timer = it->second;
        m_timerQueue.erase(TimerKey{timer.timeout, timer.serial});
        ArmTimer(timer, now);
        m_timerQueue.emplace(TimerKey{timer.timeout, timer.serial}, id);
        timer.active = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer.object, &event);
        ++delivered;
        it = m_timers.find(id);
        if (it != m_timers.end() && it->second.serial == serial)
            it->second.active = false;
    }
    return delivered;
}

bool InstallEpollEventDispatcher() {
    if (qgetenv("ZEL_EVENT_DISPATCHER").toLower() == "qt")
        return false;
    QAbstractEventDispatcher* current = QAbstractEventDispatcher::instance();
    if (dynamic_cast<TEpollEventDispatcher*>(current))
        return true;
    if (current || QCoreApplication::instance()) {
        qWarning("InstallEpollEventDispatcher: too late, the event loop already has a dispatcher");
        return false;
    }
    QCoreApplication::setEventDispatcher(new TEpollEventDispatcher);
    return true;
}
