#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "base/EventLoopMailbox.h"

class TOdbcConnection;

// Runs a window's database work on a thread of its own, one job after the
// other in the order given, so that the window never waits for a database
// and its connection is used by one thread at a time.
//
// Each job's completion runs on the thread that made the runner (the
// window's), from its event loop, with the job's exception or nullptr. Completions of cancelled jobs, and of
// every job once the runner is gone, are dropped: a result never lands in a window that is gone.
//
// Cancel ends the wait at once for the window: queued jobs are dropped, the
// running one is told through its control (checked between steps) and by
// SQLCancel on the connection it named; what it still does in the database
// runs on unseen and is never delivered.
class TZel_JobRunner {
public:
    // What a running job may ask of its runner; usable from the job's thread only.
    class TControl {
    public:
        virtual ~TControl() = default;
        virtual bool Cancelled() const = 0;
        // The connection a Cancel interrupts while this job runs.
        virtual void SetCancelTarget(std::shared_ptr<TOdbcConnection> connection) = 0;
    };
    using Work = std::function<void(TControl& control)>;
    using Done = std::function<void(std::exception_ptr error)>;

    // Completions run on the thread that constructs the runner.
    TZel_JobRunner();
    // Cancels what is under way and returns without waiting for it; the
    // thread ends when its job does (at the latest when the application's
    // object goes, which waits for it).
    ~TZel_JobRunner();
    TZel_JobRunner(const TZel_JobRunner&) = delete;
    TZel_JobRunner& operator=(const TZel_JobRunner&) = delete;

    void Run(Work work, Done done = {});
    void Cancel();
    // Jobs given and not yet completed or cancelled (as the owner's thread sees them).
    int Pending() const { return m_pending; }
    bool Busy() const { return m_pending > 0; }
    // Runs on the owner's thread when Busy changes.
    std::function<void(bool busy)> OnBusyChanged;

private:
    struct TState;
    void SetPending(int pending);

    TEventLoopMailbox m_inbox; // completions come back through it
    std::shared_ptr<TState> m_state;
    int m_pending = 0;
};
