#include "data/Zel_ConnectionPool.h"

#include "data/Zel_ConnectionWorkers.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"

#include <algorithm>

TZel_ConnectionPool::TZel_ConnectionPool() = default;

TZel_ConnectionPool::~TZel_ConnectionPool() {
    StopWorkers(ZEL_EXIT_WAIT);
}

std::shared_ptr<TZel_ConnectionWorkers> TZel_ConnectionPool::Workers(const std::string& dsn,
                                                                     const std::string& user,
                                                                     const std::string& password, int limit,
                                                                     int statementTimeout, int serverShare) {
    // Workers of definitions no session uses any more would keep their
    // connections open for nothing.
    for (auto entry = m_workers.begin(); entry != m_workers.end();)
        entry = entry->second.use_count() == 1 && entry->second->IsIdle() ? m_workers.erase(entry)
                                                                          : std::next(entry);
    std::shared_ptr<TZel_ConnectionWorkers>& workers = m_workers[Key{dsn, user, password}];
    if (!workers) {
        if (!m_environment)
            m_environment = std::make_shared<TOdbcEnvironment>();
        workers = std::make_shared<TZel_ConnectionWorkers>(m_environment, dsn, user, password, limit,
                                                           statementTimeout, serverShare);
    }
    return workers;
}

bool TZel_ConnectionPool::WorkersIdle() const {
    return std::all_of(m_workers.begin(), m_workers.end(),
                       [](const auto& entry) { return entry.second->IsIdle(); });
}

bool TZel_ConnectionPool::StopWorkers(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool finished = true;
    for (auto& [key, workers] : m_workers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        finished = workers->Stop(std::max(left, std::chrono::milliseconds(0))) && finished;
    }
    return finished;
}

std::shared_ptr<TOdbcConnection> TZel_ConnectionPool::Acquire(const std::string& dsn, const std::string& user,
                                                              const std::string& password) {
    Key key{dsn, user, password};
    auto it = m_connections.find(key);
    if (it != m_connections.end()) {
        if (auto connection = it->second.lock(); connection && connection->IsOpen())
            return connection;
        m_connections.erase(it);
    }
    // Forget connections that no session holds any more.
    for (auto entry = m_connections.begin(); entry != m_connections.end();)
        entry = entry->second.expired() ? m_connections.erase(entry) : std::next(entry);
    if (!m_environment)
        m_environment = std::make_shared<TOdbcEnvironment>();
    auto connection = std::make_shared<TOdbcConnection>(m_environment);
    connection->Open(dsn, user, password);
    m_connections[key] = connection;
    return connection;
}

int TZel_ConnectionPool::OpenCount() const {
    int count = 0;
    for (const auto& entry : m_connections)
        if (auto connection = entry.second.lock(); connection && connection->IsOpen())
            ++count;
    return count;
}

std::shared_ptr<TOdbcConnection> TZel_ConnectionPool::OpenPrivate(const std::string& dsn,
                                                                  const std::string& user,
                                                                  const std::string& password) {
    auto connection = std::make_shared<TOdbcConnection>(std::make_shared<TOdbcEnvironment>());
    connection->Open(dsn, user, password);
    return connection;
}

std::vector<std::string> TZel_ConnectionPool::DataSourceNames() {
    return TOdbcEnvironment().DataSourceNames();
}
