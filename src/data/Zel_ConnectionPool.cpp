#include "data/Zel_ConnectionPool.h"

#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"

TZel_ConnectionPool::TZel_ConnectionPool() = default;

TZel_ConnectionPool::~TZel_ConnectionPool() = default;

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
