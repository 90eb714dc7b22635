#include "base/EventLoopMailbox.h"

#include <QSocketNotifier>

#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

// The queue is guarded by a standard mutex, not by the event loop's own
// post machinery, so that every hand-over between threads is one a thread
// checker can see.
struct TEventLoopMailbox::TPoster::TShared {
    std::mutex Lock;
    std::deque<Task> Tasks;
    bool Closed = false;
    int WakeFd = -1;

    ~TShared() {
        if (WakeFd >= 0)
            ::close(WakeFd);
    }
};

bool TEventLoopMailbox::TPoster::Post(Task task) const {
    if (!m_shared)
        return false;
    std::lock_guard lock(m_shared->Lock);
    if (m_shared->Closed)
        return false; // the task is freed here, on the posting thread
    const bool wake = m_shared->Tasks.empty();
    m_shared->Tasks.push_back(std::move(task));
    if (wake) {
        const uint64_t one = 1;
        // A full counter already means "wake up": nothing to add.
        [[maybe_unused]] ssize_t written = ::write(m_shared->WakeFd, &one, sizeof one);
    }
    return true;
}

TEventLoopMailbox::TEventLoopMailbox() : m_shared(std::make_shared<TPoster::TShared>()) {
    m_shared->WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_notifier = std::make_unique<QSocketNotifier>(m_shared->WakeFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { RunPosted(); });
}

TEventLoopMailbox::~TEventLoopMailbox() {
    m_notifier.reset();
    std::deque<Task> dropped;
    {
        std::lock_guard lock(m_shared->Lock);
        m_shared->Closed = true;
        dropped.swap(m_shared->Tasks);
    }
}

int TEventLoopMailbox::RunPosted() {
    std::deque<Task> tasks;
    {
        std::lock_guard lock(m_shared->Lock);
        uint64_t count = 0;
        [[maybe_unused]] ssize_t read = ::read(m_shared->WakeFd, &count, sizeof count);
        tasks.swap(m_shared->Tasks);
    }
    int ran = 0;
    for (Task& task : tasks) {
        task();
        ++ran;
    }
    return ran;
}
