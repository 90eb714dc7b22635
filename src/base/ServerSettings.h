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
    // handhelds at once; 0 lets the driver decide (one for a SQLite file).
    int32_t ConnectionsPerDataSource = 0;
    // Seconds a database statement may run before it ends with an error; 0: no bound.
    static constexpr int32_t DefaultStatementTimeout = 30;
    int32_t StatementTimeout = DefaultStatementTimeout;
};
