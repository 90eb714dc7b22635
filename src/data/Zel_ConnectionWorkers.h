#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class TOdbcConnection;
class TOdbcEnvironment;

// The physical connections to one data source with one user name and
// password, each owned by a thread of its own that runs the jobs given to
// it. Threads and connections are made as the queue backs up, up to the
// limit; one that found nothing to do for IdleClose ends with its
// connection, the first of each kind excepted.
//
// The limit, unless the settings give one: a SQLite file gets a writer and
// one reader; a database server as many as requests wait, up to a bound
// from this machine's cores and from a share of the connections the server
// itself admits (other programs and servers use it too), which the first
// connection asks it for; until then the old fixed number.
//
// A statement that waits (for a lock, a slow scan, a connect) holds up only
// what cannot go elsewhere:
// - session selections are taken before any data request;
// - the data requests of one table occupy at most limit - 1 connections, so
//   a request on another table always finds one;
// - a statement that runs longer than the statement timeout ends with an
//   error; for a driver that ignores the timeout, a watchdog cancels it;
// - a SQLite file takes one writer at a time and lets others read while a
//   writer waits: its posts and deletes all go to one writing connection
//   (serialised in the process however many connections it has), its
//   selections and counts to the reading ones.
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

    // What a job does to which table, for the choice of its connection.
    enum class TJobKind { SessionSelect, Read, Write };

    // limit: connections at most; 0 follows the load (see above).
    // statementTimeout: seconds any statement may run, 0 for no bound.
    // serverShare: percent of the database server's own connection limit
    // that a limit following the load may take.
    TZel_ConnectionWorkers(std::shared_ptr<TOdbcEnvironment> environment, std::string dsn, std::string user,
                           std::string password, int limit, int statementTimeout = 0,
                           int serverShare = DefaultServerShare);
    // Stop with the exit wait.
    ~TZel_ConnectionWorkers();
    TZel_ConnectionWorkers(const TZel_ConnectionWorkers&) = delete;
    TZel_ConnectionWorkers& operator=(const TZel_ConnectionWorkers&) = delete;

    // Queues the job on table (as spelled in the session); after Stop it is
    // dropped. Raises std::system_error, with nothing queued, when the job
    // needs a thread that cannot be started.
    void Submit(Job job, TJobKind kind, const std::string& table);
    // Takes no more jobs and waits up to timeout for the queued and running
    // ones. True when all have ended; else the queued ones are dropped and
    // the threads of those still running are left to end by themselves. A
    // second call waits no more.
    bool Stop(std::chrono::milliseconds timeout);
    // No job queued or running.
    bool IsIdle() const;
    // Threads (and so connections) that run now.
    int ThreadCount() const;
    // Connections at most, as known now.
    int Limit() const;
    // How long a thread beyond the first waits for a job before it ends;
    // set before the first Submit.
    std::chrono::milliseconds IdleClose{30000};
    // Whether the data source is a SQLite file (writer and readers apart).
    bool SplitsWriter() const;

    // Starts a worker thread; replaceable so that a test can make it fail.
    std::function<std::thread(std::function<void()> run)> StartThread;

    // Connections per data source when the settings give none: a SQLite file
    // gets its writer and one reader; a database server starts with a few.
    static int DefaultLimit(bool sqlite);
    // The bound of a limit that follows the load: from the cores, and from
    // serverShare percent of serverMax (the database server's own limit; 0
    // when unknown).
    static int LoadLimit(int serverMax, int serverShare);
    static constexpr int DefaultServerShare = 25;

private:
    struct TState;
    static void RunWorker(std::shared_ptr<TState> state, int role);
    static void RunWatchdog(std::shared_ptr<TState> state);
    std::shared_ptr<TState> m_state;
    bool m_stopped = false;
};

// How long exit waits for statements that are still running.
constexpr std::chrono::milliseconds ZEL_EXIT_WAIT{10000};
// Seconds a statement may run unless the settings say otherwise.
constexpr int ZEL_DEFAULT_STATEMENT_TIMEOUT = 30;
