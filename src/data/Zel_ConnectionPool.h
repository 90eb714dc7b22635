#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "data/Zel_ConnectionWorkers.h"

class TOdbcConnection;
class TOdbcEnvironment;

// Physical connections shared by the sessions that use the same data source
// with the same user name and password, in one of two ways:
// - Acquire: one connection per data source, used by the caller's thread. A
//   connection lives while a session holds it; one whose link was lost is
//   replaced at the next Acquire.
// - Workers: a few connections per data source, each used by a thread of its
//   own (the server's handhelds). Workers that nobody holds and that have
//   nothing to do are ended at the next call.
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

    // The workers of the data source with the user name and password; limit
    // (connections at most, 0 to follow the load), statementTimeout (seconds,
    // 0 for none) and serverShare apply when they are made (see
    // TZel_ConnectionWorkers).
    std::shared_ptr<TZel_ConnectionWorkers>
    Workers(const std::string& dsn, const std::string& user, const std::string& password, int limit,
            int statementTimeout = 0, int serverShare = TZel_ConnectionWorkers::DefaultServerShare);
    // Ends every worker: see TZel_ConnectionWorkers::Stop. True when no
    // statement runs any more.
    bool StopWorkers(std::chrono::milliseconds timeout);
    // No worker has a job queued or running.
    bool WorkersIdle() const;

    // A connection of its own, outside the pool (data viewer, wizard).
    static std::shared_ptr<TOdbcConnection> OpenPrivate(const std::string& dsn, const std::string& user,
                                                        const std::string& password);
    // Names of the configured data sources, user and system.
    static std::vector<std::string> DataSourceNames();

private:
    using Key = std::tuple<std::string, std::string, std::string>;
    std::shared_ptr<TOdbcEnvironment> m_environment;
    std::map<Key, std::weak_ptr<TOdbcConnection>> m_connections;
    std::map<Key, std::shared_ptr<TZel_ConnectionWorkers>> m_workers;
};
