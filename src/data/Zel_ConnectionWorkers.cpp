#include "data/Zel_ConnectionWorkers.h"

#include "data/odbc/OdbcConnection.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {
constexpr int kServerConnections = 4;
} // namespace

// Shared with the threads: a thread still running a job after a timed-out
// Stop keeps it alive.
struct TZel_ConnectionWorkers::TState {
    std::shared_ptr<TOdbcEnvironment> Environment;
    std::string Dsn;
    std::string User;
    std::string Password;
    int ConfiguredLimit = 0;

    mutable std::mutex Lock;
    std::condition_variable JobQueued;
    std::condition_variable JobDone;
    std::deque<Job> Jobs;
    std::vector<std::thread> Threads;
    int Limit = 1; // one until the first connection tells the driver
    int Idle = 0;
    int Running = 0;
    bool Stopping = false;
    // Statements one connection dropped (a table was opened afresh, its
    // shape may have changed): every other connection drops them before its
    // next job.
    std::vector<std::pair<const TOdbcConnection*, std::string>> Forgotten;
};

TZel_ConnectionWorkers::TZel_ConnectionWorkers(std::shared_ptr<TOdbcEnvironment> environment, std::string dsn,
                                               std::string user, std::string password, int limit)
    : m_state(std::make_shared<TState>()) {
    m_state->Environment = std::move(environment);
    m_state->Dsn = std::move(dsn);
    m_state->User = std::move(user);
    m_state->Password = std::move(password);
    m_state->ConfiguredLimit = limit;
    if (limit > 0)
        m_state->Limit = limit;
}

TZel_ConnectionWorkers::~TZel_ConnectionWorkers() {
    Stop(ZEL_EXIT_WAIT);
}

int TZel_ConnectionWorkers::DefaultLimit(const TOdbcConnection& connection) {
    return connection.IsSQLite() ? 1 : kServerConnections;
}

void TZel_ConnectionWorkers::Submit(Job job) {
    std::unique_lock lock(m_state->Lock);
    if (m_state->Stopping)
        return;
    m_state->Jobs.push_back(std::move(job));
    // Every thread busy: another connection, while the limit allows one.
    if (m_state->Idle < static_cast<int>(m_state->Jobs.size()) &&
        static_cast<int>(m_state->Threads.size()) < m_state->Limit) {
        m_state->Threads.emplace_back(RunWorker, m_state);
        return;
    }
    lock.unlock();
    m_state->JobQueued.notify_one();
}

void TZel_ConnectionWorkers::RunWorker(std::shared_ptr<TState> state) {
    std::shared_ptr<TOdbcConnection> connection;
    size_t forgottenSeen = 0; // entries of Forgotten this thread has applied
    const Connect connect = [&state, &connection] {
        if (connection && connection->IsOpen())
            return connection;
        connection.reset();
        auto fresh = std::make_shared<TOdbcConnection>(state->Environment);
        fresh->Open(state->Dsn, state->User, state->Password);
        fresh->OnForgetStatements = [&state, owner = fresh.get()](const std::string& text) {
            std::lock_guard lock(state->Lock);
            state->Forgotten.emplace_back(owner, text);
        };
        std::lock_guard lock(state->Lock);
        if (state->ConfiguredLimit <= 0)
            state->Limit = DefaultLimit(*fresh);
        connection = std::move(fresh);
        return connection;
    };
    std::unique_lock lock(state->Lock);
    ++state->Idle;
    while (true) {
        state->JobQueued.wait(lock, [&state] { return state->Stopping || !state->Jobs.empty(); });
        if (state->Jobs.empty())
            break; // stopping, and nothing left to run
        --state->Idle;
        Job job = std::move(state->Jobs.front());
        state->Jobs.pop_front();
        ++state->Running;
        std::vector<std::string> forget;
        for (; forgottenSeen < state->Forgotten.size(); ++forgottenSeen)
            if (state->Forgotten[forgottenSeen].first != connection.get())
                forget.push_back(state->Forgotten[forgottenSeen].second);
        lock.unlock();
        if (connection) {
            const auto onForget = std::exchange(connection->OnForgetStatements, nullptr);
            for (const std::string& text : forget)
                connection->ForgetStatements(text);
            connection->OnForgetStatements = onForget;
        }
        Then then = job(connect);
        job = nullptr; // what the job holds is freed before it counts as done
        lock.lock();
        --state->Running;
        ++state->Idle;
        state->JobDone.notify_all();
        lock.unlock();
        if (then)
            then();
        then = nullptr;
        lock.lock();
    }
    --state->Idle;
    lock.unlock();
    connection.reset(); // closed on the thread that used it
}

bool TZel_ConnectionWorkers::Stop(std::chrono::milliseconds timeout) {
    // The server stops its pool before it frees the clients, and the pool
    // stops again as it goes: the exit wait is spent once.
    if (m_stopped)
        return IsIdle();
    m_stopped = true;
    std::deque<Job> dropped;
    std::vector<std::thread> threads;
    bool finished = false;
    {
        std::unique_lock lock(m_state->Lock);
        m_state->Stopping = true;
        m_state->JobQueued.notify_all();
        finished = m_state->JobDone.wait_for(
            lock, timeout, [this] { return m_state->Running == 0 && m_state->Jobs.empty(); });
        dropped.swap(m_state->Jobs);
        threads.swap(m_state->Threads);
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
