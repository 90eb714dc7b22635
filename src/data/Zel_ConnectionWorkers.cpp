#include "data/Zel_ConnectionWorkers.h"

#include "data/odbc/OdbcConnection.h"

#include <odbcinst.h>
#include <sql.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A database server's connections until it has said how many it admits.
constexpr int kServerConnections = 4;

// What a thread's connection serves. A SQLite file has one writer and
// readers; a database server's connections serve everything.
enum TRole { kAny = 0, kWriter = 1, kReader = 2, kRoles = 3 };

// Known before any connection opens, so that the limit holds from the first
// job on: the data source's driver, as the ODBC configuration names it.
bool DriverIsSQLite(const std::string& dsn) {
    char driver[512] = {0};
    SQLGetPrivateProfileString(dsn.c_str(), "Driver", "", driver, sizeof driver, "odbc.ini");
    std::string name(driver);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name.find("sqlite") != std::string::npos;
}

} // namespace

// Shared with the threads: a thread still running a job after a timed-out
// Stop keeps it alive.
struct TZel_ConnectionWorkers::TState {
    std::shared_ptr<TOdbcEnvironment> Environment;
    std::string Dsn;
    std::string User;
    std::string Password;
    int StatementTimeout = 0;
    bool Sqlite = false;
    bool Split = false; // writer and readers apart
    int Limit = 1;
    // Following the load, and the server's own limit not yet known: the first
    // connection asks it and sets Limit to LoadLimit.
    bool LearnLimit = false;
    int ServerShare = DefaultServerShare;
    std::chrono::milliseconds IdleClose{30000};
    // Threads that ended after idling, to be joined by the next Submit.
    std::vector<std::thread::id> Ended;

    struct TEntry {
        Job Run;
        TJobKind Kind;
        std::string Table;
    };
    // The shape a table was last opened with, and how often it changed:
    // each connection drops the table's statements once per change.
    struct TShape {
        std::string Columns;
        uint64_t Version = 0;
    };

    mutable std::mutex Lock;
    // Each role's threads wait for their own jobs, so that a job wakes one
    // thread that can run it, not every thread of the data source.
    std::array<std::condition_variable, kRoles> JobFor;
    std::condition_variable JobEnded;     // for Stop
    std::condition_variable WatchdogWake; // stopping
    std::deque<TEntry> Jobs;
    std::vector<std::thread> Threads;
    std::array<int, kRoles> ThreadsOf{};
    std::array<int, kRoles> IdleOf{};
    std::map<std::string, int> RunningOn; // data requests per table, writer left out
    std::map<std::string, TShape> Shapes;
    int Running = 0;
    bool Stopping = false;

    // What each thread runs now, for the watchdog of drivers that do not
    // end a statement after the timeout by themselves.
    struct TRunning {
        std::shared_ptr<TOdbcConnection> Connection;
        std::chrono::steady_clock::time_point Started;
        bool Active = false;
        bool Cancelled = false;
    };
    std::vector<TRunning*> Watched;
    bool WatchdogStarted = false;

    int RoleOf(TJobKind kind) const {
        if (!Split)
            return kAny;
        return kind == TJobKind::Write ? kWriter : kReader;
    }
    int MaxThreads(int role) const {
        if (role == kWriter)
            return 1;
        return Split ? Limit - 1 : Limit;
    }
    // Requests on one table leave a connection for the other tables.
    int MaxPerTable(int role) const { return std::max(1, MaxThreads(role) - 1); }
    bool Eligible(int role, const TEntry& entry) const { return RoleOf(entry.Kind) == role; }
    bool Runnable(int role, const TEntry& entry) const {
        if (!Eligible(role, entry))
            return false;
        if (role == kWriter || entry.Kind == TJobKind::SessionSelect)
            return true;
        const auto running = RunningOn.find(entry.Table);
        return running == RunningOn.end() || running->second < MaxPerTable(role);
    }
    // The next job for a thread of role: session selections first, then
    // data requests in order of arrival.
    std::deque<TEntry>::iterator Next(int role) {
        auto found = Jobs.end();
        for (auto it = Jobs.begin(); it != Jobs.end(); ++it) {
            if (!Runnable(role, *it))
                continue;
            if (it->Kind == TJobKind::SessionSelect)
                return it;
            if (found == Jobs.end())
                found = it;
        }
        return found;
    }
    bool AnyEligible(int role) const {
        return std::any_of(Jobs.begin(), Jobs.end(), [&](const TEntry& e) { return Eligible(role, e); });
    }
};

TZel_ConnectionWorkers::TZel_ConnectionWorkers(std::shared_ptr<TOdbcEnvironment> environment, std::string dsn,
                                               std::string user, std::string password, int limit,
                                               int statementTimeout, int serverShare)
    : StartThread([](std::function<void()> run) { return std::thread(std::move(run)); }),
      m_state(std::make_shared<TState>()) {
    const bool sqlite = DriverIsSQLite(dsn);
    m_state->Environment = std::move(environment);
    m_state->Dsn = std::move(dsn);
    m_state->User = std::move(user);
    m_state->Password = std::move(password);
    m_state->StatementTimeout = std::max(0, statementTimeout);
    m_state->Limit = limit > 0 ? limit : DefaultLimit(sqlite);
    m_state->LearnLimit = limit <= 0 && !sqlite;
    m_state->ServerShare = std::clamp(serverShare, 1, 100);
    // One connection in all: it writes and reads.
    m_state->Sqlite = sqlite;
    m_state->Split = sqlite && m_state->Limit > 1;
}

TZel_ConnectionWorkers::~TZel_ConnectionWorkers() {
    Stop(ZEL_EXIT_WAIT);
}

int TZel_ConnectionWorkers::DefaultLimit(bool sqlite) {
    return sqlite ? 2 : kServerConnections;
}

int TZel_ConnectionWorkers::LoadLimit(int serverMax, int serverShare) {
    // Two per core: measured on a 2-core machine with the database on the
    // same cores, 16 connections served 30% fewer requests than 4 (the
    // threads and the database's processes took turns on the cores).
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    const int machine = std::clamp(2 * cores, kServerConnections, 64);
    if (serverMax <= 0)
        return machine;
    return std::clamp(serverMax * serverShare / 100, 1, machine);
}

void TZel_ConnectionWorkers::Submit(Job job, TJobKind kind, const std::string& table) {
    std::unique_lock lock(m_state->Lock);
    if (m_state->Stopping)
        return;
    TState& state = *m_state;
    state.IdleClose = IdleClose;
    // Threads that ended after idling have left the lock behind them: joining
    // them waits for nothing but their return.
    for (const std::thread::id ended : state.Ended) {
        const auto thread = std::find_if(state.Threads.begin(), state.Threads.end(),
                                         [&](const std::thread& t) { return t.get_id() == ended; });
        if (thread != state.Threads.end()) {
            thread->join();
            state.Threads.erase(thread);
        }
    }
    state.Ended.clear();
    const int role = state.RoleOf(kind);
    TState::TEntry entry{std::move(job), kind, table};
    // More jobs than free connections: another connection, while the limit
    // allows one. Started before the job is queued, so that a job whose
    // thread cannot be started is never run later.
    const auto queued = std::count_if(state.Jobs.begin(), state.Jobs.end(),
                                      [&](const TState::TEntry& e) { return state.Eligible(role, e); });
    if (state.StatementTimeout > 0 && state.Sqlite && !state.WatchdogStarted) {
        std::shared_ptr<TState> shared = m_state;
        state.Threads.push_back(StartThread([shared] { RunWatchdog(shared); }));
        state.WatchdogStarted = true;
    }
    if (state.IdleOf[role] < queued + 1 && state.ThreadsOf[role] < state.MaxThreads(role)) {
        std::shared_ptr<TState> shared = m_state;
        state.Threads.push_back(StartThread([shared, role] { RunWorker(shared, role); }));
        ++state.ThreadsOf[role];
        ++state.IdleOf[role]; // counted at once: the next Submit must not start another for this job
    }
    state.Jobs.push_back(std::move(entry));
    lock.unlock();
    m_state->JobFor[static_cast<size_t>(role)].notify_one();
}

void TZel_ConnectionWorkers::RunWatchdog(std::shared_ptr<TState> state) {
    const auto timeout = std::chrono::seconds(state->StatementTimeout);
    std::unique_lock lock(state->Lock);
    while (!(state->Stopping && state->Running == 0 && state->Jobs.empty())) {
        state->WatchdogWake.wait_for(lock, std::chrono::milliseconds(200));
        const auto now = std::chrono::steady_clock::now();
        // Bounds the whole request, a few statements at most: the timeout
        // is met as closely as the driver allows.
        for (TState::TRunning* running : state->Watched)
            if (running->Active && !running->Cancelled && running->Connection &&
                now - running->Started > timeout) {
                running->Cancelled = true;
                running->Connection->CancelStatements();
            }
    }
}

void TZel_ConnectionWorkers::RunWorker(std::shared_ptr<TState> state, int role) {
    std::shared_ptr<TOdbcConnection> connection;
    std::map<std::string, uint64_t> seen; // shape versions this connection has applied
    TState::TRunning running;
    const Connect connect = [&state, &connection, &seen, &running] {
        if (connection && connection->IsOpen())
            return connection;
        connection.reset();
        auto fresh = std::make_shared<TOdbcConnection>(state->Environment);
        fresh->StatementTimeout = state->StatementTimeout;
        fresh->Open(state->Dsn, state->User, state->Password);
        bool learn = false;
        {
            std::lock_guard lock(state->Lock);
            learn = state->LearnLimit;
        }
        if (learn) {
            int serverMax = 0;
            try {
                serverMax = fresh->ServerConnectionLimit();
            } catch (const std::exception&) {
                // Unknown: the machine alone bounds it.
            }
            std::lock_guard lock(state->Lock);
            if (std::exchange(state->LearnLimit, false))
                state->Limit = LoadLimit(serverMax, state->ServerShare);
        }
        fresh->OnTableShape = [&state, &seen](const std::string& table, const std::string& columns) {
            std::lock_guard lock(state->Lock);
            TState::TShape& shape = state->Shapes[table];
            if (!shape.Columns.empty() && shape.Columns != columns)
                ++shape.Version;
            shape.Columns = columns;
            auto [mine, first] = seen.try_emplace(table, shape.Version);
            const bool drop = !first && mine->second != shape.Version;
            mine->second = shape.Version;
            return drop;
        };
        std::lock_guard lock(state->Lock);
        // A new connection has prepared nothing yet.
        seen.clear();
        for (const auto& [table, shape] : state->Shapes)
            seen[table] = shape.Version;
        connection = std::move(fresh);
        if (!connection->HonoursStatementTimeout())
            running.Connection = connection;
        return connection;
    };
    std::unique_lock lock(state->Lock);
    state->Watched.push_back(&running);
    bool idleEnd = false;
    while (true) {
        auto next = state->Jobs.end();
        const bool woken = state->JobFor[static_cast<size_t>(role)].wait_for(lock, state->IdleClose, [&] {
            next = state->Next(role);
            return next != state->Jobs.end() || (state->Stopping && !state->AnyEligible(role));
        });
        if (!woken) {
            // Nothing to do for a while: a thread beyond the first of its
            // kind ends, and its connection with it.
            if (state->ThreadsOf[role] > 1) {
                idleEnd = true;
                --state->ThreadsOf[role];
                break;
            }
            continue;
        }
        if (next == state->Jobs.end())
            break; // stopping, and nothing left to run
        --state->IdleOf[role];
        TState::TEntry entry = std::move(*next);
        state->Jobs.erase(next);
        const bool counted = role != kWriter && entry.Kind != TJobKind::SessionSelect;
        if (counted)
            ++state->RunningOn[entry.Table];
        ++state->Running;
        running.Started = std::chrono::steady_clock::now();
        running.Active = true;
        running.Cancelled = false;
        if (connection && !connection->HonoursStatementTimeout())
            running.Connection = connection;
        // Tables opened afresh with another shape since this connection's
        // last job: their statements go.
        std::vector<std::string> forget;
        if (connection)
            for (const auto& [table, shape] : state->Shapes)
                if (auto& mine = seen[table]; mine != shape.Version) {
                    mine = shape.Version;
                    forget.push_back(table);
                }
        lock.unlock();
        for (const std::string& table : forget)
            connection->ForgetStatements(table);
        Then then = entry.Run(connect);
        entry.Run = nullptr; // what the job holds is freed before it counts as done
        lock.lock();
        running.Active = false;
        running.Connection.reset();
        --state->Running;
        if (counted && --state->RunningOn[entry.Table] == 0)
            state->RunningOn.erase(entry.Table);
        ++state->IdleOf[role];
        lock.unlock();
        // A job this one held back (its table's share) is taken by this
        // thread itself at its next look.
        state->JobEnded.notify_all();
        if (then)
            then();
        then = nullptr;
        lock.lock();
    }
    --state->IdleOf[role];
    state->Watched.erase(std::find(state->Watched.begin(), state->Watched.end(), &running));
    lock.unlock();
    connection.reset(); // closed on the thread that used it
    if (idleEnd) {
        lock.lock();
        state->Ended.push_back(std::this_thread::get_id());
    }
}

namespace {
template <typename State> void WakeAll(State& state) {
    for (std::condition_variable& jobFor : state.JobFor)
        jobFor.notify_all();
    state.WatchdogWake.notify_all();
}
} // namespace

bool TZel_ConnectionWorkers::Stop(std::chrono::milliseconds timeout) {
    // The server stops its pool before it frees the clients, and the pool
    // stops again as it goes: the exit wait is spent once.
    if (m_stopped)
        return IsIdle();
    m_stopped = true;
    std::deque<TState::TEntry> dropped;
    std::vector<std::thread> threads;
    bool finished = false;
    {
        std::unique_lock lock(m_state->Lock);
        m_state->Stopping = true;
        WakeAll(*m_state);
        finished = m_state->JobEnded.wait_for(
            lock, timeout, [this] { return m_state->Running == 0 && m_state->Jobs.empty(); });
        dropped.swap(m_state->Jobs);
        threads.swap(m_state->Threads);
        WakeAll(*m_state);
    }
    dropped.clear();
    for (std::thread& thread : threads) {
        if (finished)
            thread.join();
        else
            thread.detach();
    }
    return finished;
}

bool TZel_ConnectionWorkers::IsIdle() const {
    std::lock_guard lock(m_state->Lock);
    return m_state->Jobs.empty() && m_state->Running == 0;
}

int TZel_ConnectionWorkers::ThreadCount() const {
    std::lock_guard lock(m_state->Lock);
    return m_state->ThreadsOf[kAny] + m_state->ThreadsOf[kWriter] + m_state->ThreadsOf[kReader];
}

int TZel_ConnectionWorkers::Limit() const {
    std::lock_guard lock(m_state->Lock);
    return m_state->Limit;
}

bool TZel_ConnectionWorkers::SplitsWriter() const {
    return m_state->Split;
}
