#pragma once

#include <cstdint>
#include <string>

// The settings of the wireless server that the preferences read and write.
// The server derives from it, so the preferences need not know the server.
class TServerSettings {
public:
    virtual ~TServerSettings() = default;

    int32_t Port = 0;
    std::string IPAddress;
    std::string ServerName = "Zel Wireless Server";
    std::string DisabledMessage = "Wireless server is not currently enabled.";
    // Connections beyond this many listed clients are refused.
    static constexpr int32_t DefaultMaxClients = 1000;
    int32_t MaxClients = DefaultMaxClients;
    // Database connections per data source (and user name) that serve the
    // handhelds at once; 0 follows the load (a SQLite file: a writer and a reader).
    int32_t ConnectionsPerDataSource = 0;
    // Percent of a database server's own connection limit that a data
    // source following the load may take (other servers may share it).
    static constexpr int32_t DefaultDatabaseConnectionShare = 25;
    int32_t DatabaseConnectionShare = DefaultDatabaseConnectionShare;
    // Seconds a database statement may run before it ends with an error; 0: no bound.
    static constexpr int32_t DefaultStatementTimeout = 30;
    int32_t StatementTimeout = DefaultStatementTimeout;
};
