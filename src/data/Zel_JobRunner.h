#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

class QObject;
class TOdbcConnection;

// Runs a window's database work on a thread of its own, one job after the
// other in the order given, so that the window never waits for a database
// and its connection is used by one thread at a time.
//
// Each job's completion runs on the thread of the receiver (the window that
// owns the runner) through a queued call, with the job's exception or
// nullptr. Completions of cancelled jobs, and of every job once the runner
// is gone, are dropped: a result never lands in a window that is gone.
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

    // receiver is the object whose thread runs the completions; it must
    // outlive the runner (the runner is one of its members).
    explicit TZel_JobRunner(QObject* receiver);
    // Cancels what is under way and returns without waiting for it; the
    // thread ends when its job does (at the latest when the application's
    // object goes, which waits for it).
    ~TZel_JobRunner();
    TZel_JobRunner(const TZel_JobRunner&) = delete;
    TZel_JobRunner& operator=(const TZel_JobRunner&) = delete;

    void Run(Work work, Done done = {});
    void Cancel();
    // Jobs given and not yet completed or cancelled (as the receiver sees them).
    int Pending() const { return m_pending; }
    bool Busy() const { return m_pending > 0; }
    // Runs on the receiver's thread when Busy changes.
    std::function<void(bool busy)> OnBusyChanged;

private:
    struct TState;
    void SetPending(int pending);

    QObject* m_receiver;
    std::shared_ptr<TState> m_state;
    int m_pending = 0;
};
