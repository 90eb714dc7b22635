#include "data/Zel_JobRunner.h"

#include "data/odbc/OdbcConnection.h"

#include <QCoreApplication>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

namespace {

// Keeps the thread of a runner that went while its job ran, and joins it
// once the job ends, or when the application object goes (exit waits for
// it: a cancelled job ends within its driver's bounds).
class TThreadReaper : public QObject {
public:
    TThreadReaper(std::thread thread, std::function<void()> forget)
        : QObject(QCoreApplication::instance()), m_thread(std::move(thread)), m_forget(std::move(forget)) {}
    ~TThreadReaper() override {
        m_forget();
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
    std::function<void()> m_forget;
};

} // namespace

struct TZel_JobRunner::TState : TZel_JobRunner::TControl {
    struct TEntry {
        Work Job;
        Done Finish;
        uint64_t Generation = 0;
    };

    mutable std::mutex Lock;
    std::condition_variable Wake;
    std::deque<TEntry> Jobs;
    uint64_t NextGeneration = 1;
    uint64_t CancelledBelow = 0; // jobs of a lower generation are cancelled
    uint64_t Running = 0;        // generation of the job running; 0: none
    bool Stopping = false;
    TEventLoopMailbox::TPoster Inbox; // the owner's; posts nowhere once the runner is gone
    bool Gone = false;
    TZel_JobRunner* Owner = nullptr; // touched on the receiver's thread only
    TThreadReaper* Reaper = nullptr;
    std::shared_ptr<TOdbcConnection> CancelTarget;
    std::thread Thread;

    bool Cancelled() const override {
        std::lock_guard lock(Lock);
        return Running < CancelledBelow;
    }
    void SetCancelTarget(std::shared_ptr<TOdbcConnection> connection) override {
        std::lock_guard lock(Lock);
        CancelTarget = std::move(connection);
    }

    void Loop(const std::shared_ptr<TState>& self);
};

void TZel_JobRunner::TState::Loop(const std::shared_ptr<TState>& self) {
    std::unique_lock lock(Lock);
    for (;;) {
        Wake.wait(lock, [this] { return Stopping || !Jobs.empty(); });
        if (Jobs.empty())
            break;
        TEntry entry = std::move(Jobs.front());
        Jobs.pop_front();
        const bool cancelled = entry.Generation < CancelledBelow;
        Running = cancelled ? 0 : entry.Generation;
        lock.unlock();
        std::exception_ptr error;
        if (!cancelled) {
            try {
                entry.Job(*this);
            } catch (...) {
                error = std::current_exception();
            }
        }
        // The job's own objects (a session, its connection) go here, on the
        // thread that used them, also when the job was dropped.
        entry.Job = nullptr;
        if (cancelled)
            entry.Finish = nullptr;
        lock.lock();
        if (cancelled)
            continue;
        Running = 0;
        CancelTarget.reset();
        if (Gone || entry.Generation < CancelledBelow)
            continue;
        const uint64_t generation = entry.Generation;
        Inbox.Post([self, generation, done = std::move(entry.Finish), error] {
            TZel_JobRunner* owner = self->Owner;
            {
                std::lock_guard guard(self->Lock);
                if (!owner || generation < self->CancelledBelow)
                    return;
            }
            owner->SetPending(owner->m_pending - 1);
            if (done)
                done(error);
        });
    }
    if (Reaper) {
        TThreadReaper* reaper = Reaper;
        QMetaObject::invokeMethod(
            reaper, [reaper] { delete reaper; }, Qt::QueuedConnection);
    }
}

TZel_JobRunner::TZel_JobRunner() : m_state(std::make_shared<TState>()) {
    m_state->Inbox = m_inbox.Poster();
    m_state->Owner = this;
    std::shared_ptr<TState> state = m_state;
    m_state->Thread = std::thread([state] { state->Loop(state); });
}

TZel_JobRunner::~TZel_JobRunner() {
    std::unique_lock lock(m_state->Lock);
    m_state->Owner = nullptr;
    m_state->Gone = true;
    m_state->CancelledBelow = std::numeric_limits<uint64_t>::max();
    m_state->Stopping = true;
    if (m_state->CancelTarget)
        m_state->CancelTarget->CancelStatements();
    std::thread thread = std::move(m_state->Thread);
    if ((m_state->Running == 0 && m_state->Jobs.empty()) || !QCoreApplication::instance()) {
        lock.unlock();
        m_state->Wake.notify_all();
        thread.join();
        return;
    }
    std::shared_ptr<TState> state = m_state;
    m_state->Reaper = new TThreadReaper(std::move(thread), [state] {
        std::lock_guard guard(state->Lock);
        state->Reaper = nullptr;
    });
    lock.unlock();
    m_state->Wake.notify_all();
}

void TZel_JobRunner::Run(Work work, Done done) {
    {
        std::lock_guard lock(m_state->Lock);
        m_state->Jobs.push_back({std::move(work), std::move(done), m_state->NextGeneration++});
    }
    m_state->Wake.notify_all();
    SetPending(m_pending + 1);
}

void TZel_JobRunner::Cancel() {
    {
        std::lock_guard lock(m_state->Lock);
        m_state->CancelledBelow = m_state->NextGeneration;
        if (m_state->CancelTarget)
            m_state->CancelTarget->CancelStatements();
    }
    SetPending(0);
}

void TZel_JobRunner::SetPending(int pending) {
    const bool was = m_pending > 0;
    m_pending = pending;
    if (was != (m_pending > 0) && OnBusyChanged)
        OnBusyChanged(m_pending > 0);
}
