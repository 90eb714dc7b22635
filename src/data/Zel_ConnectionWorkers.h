#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class TOdbcConnection;
class TOdbcEnvironment;

// The physical connections to one data source with one user name and
// password, each owned by a thread of its own that runs the jobs given to
// it. A job goes to the first connection that is free, so a statement that
// waits (for a lock, a slow scan, a connect) holds up only the jobs that find
// no other connection free. Threads and connections are made as jobs need
// them, up to the limit, and live until Stop.
class TZel_ConnectionWorkers {
public:
    // The worker's connection, opened on first use and again after its link
    // was lost; raises the driver's EDatabaseError when it cannot be opened.
    using Connect = std::function<std::shared_ptr<TOdbcConnection>()>;
    // Runs on a worker thread and must not raise. What it returns runs next
    // on the same thread once the worker counts as free again (handing the
    // result on), so the next job of the same caller finds it free.
    using Then = std::function<void()>;
    using Job = std::function<Then(const Connect& connect)>;

    // limit: connections at most; 0 takes the driver's default (DefaultLimit),
    // known once the first connection is open.
    TZel_ConnectionWorkers(std::shared_ptr<TOdbcEnvironment> environment, std::string dsn, std::string user,
                           std::string password, int limit);
    // Stop with the exit wait.
    ~TZel_ConnectionWorkers();
    TZel_ConnectionWorkers(const TZel_ConnectionWorkers&) = delete;
    TZel_ConnectionWorkers& operator=(const TZel_ConnectionWorkers&) = delete;

    // Queues the job; after Stop it is dropped.
    void Submit(Job job);
    // Takes no more jobs and waits up to timeout for the queued and running
    // ones. True when all have ended; else the queued ones are dropped and
    // the threads of those still running are left to end by themselves. A
    // second call waits no more.
    bool Stop(std::chrono::milliseconds timeout);
    // No job queued or running.
    bool IsIdle() const;

    // Connections per data source when the settings give none: a SQLite
    // file takes one writer at a time, so more connections would only wait
    // for each other; a database server serves several at once.
    static int DefaultLimit(const TOdbcConnection& connection);

private:
    struct TState;
    static void RunWorker(std::shared_ptr<TState> state);
    std::shared_ptr<TState> m_state;
    bool m_stopped = false;
};

// How long exit waits for statements that are still running.
constexpr std::chrono::milliseconds ZEL_EXIT_WAIT{10000};
