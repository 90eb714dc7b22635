#pragma once

#include <sql.h>

#include <string>
#include <vector>

// An ODBC 3 environment handle.
class TOdbcEnvironment {
public:
    TOdbcEnvironment();
    ~TOdbcEnvironment();
    TOdbcEnvironment(const TOdbcEnvironment&) = delete;
    TOdbcEnvironment& operator=(const TOdbcEnvironment&) = delete;

    SQLHENV Handle() const { return m_env; }

    // Names of the configured data sources, user and system, as listed.
    std::vector<std::string> DataSourceNames();

private:
    SQLHENV m_env = SQL_NULL_HENV;
};
