#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

class TOdbcConnection;
class TOdbcEnvironment;

// Physical connections shared by the sessions that use the same data source
// with the same user name and password. A connection lives while a session
// holds it; one whose link was lost is replaced at the next Acquire.
class TZel_ConnectionPool {
public:
    TZel_ConnectionPool();
    ~TZel_ConnectionPool();
    TZel_ConnectionPool(const TZel_ConnectionPool&) = delete;
    TZel_ConnectionPool& operator=(const TZel_ConnectionPool&) = delete;

    // An open connection; raises the driver's EDatabaseError when none can be opened.
    std::shared_ptr<TOdbcConnection> Acquire(const std::string& dsn, const std::string& user,
                                             const std::string& password);
    // Connections currently held by some session.
    int OpenCount() const;

    // A connection of its own, outside the pool (data viewer, wizard).
    static std::shared_ptr<TOdbcConnection> OpenPrivate(const std::string& dsn, const std::string& user,
                                                        const std::string& password);
    // Names of the configured data sources, user and system.
    static std::vector<std::string> DataSourceNames();

private:
    using Key = std::tuple<std::string, std::string, std::string>;
    std::shared_ptr<TOdbcEnvironment> m_environment;
    std::map<Key, std::weak_ptr<TOdbcConnection>> m_connections;
};
