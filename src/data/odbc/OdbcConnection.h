#pragma once

// One ODBC connection (being built).
class TOdbcConnection {
public:
    TOdbcConnection();
    ~TOdbcConnection();
    bool IsOpen() const { return false; }
};
