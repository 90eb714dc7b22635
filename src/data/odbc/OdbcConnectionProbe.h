#pragma once

#include "data/odbc/OdbcUserDataSources.h"

#include <string>

// Tries a data source definition before (or without) saving it: connects
// through its driver with the values as entered, bounded by a login timeout,
// and disconnects at once. Never prompts.
class TOdbcConnectionProbe {
public:
    static constexpr int LoginTimeoutSeconds = 5;

    // The database's name and version on success ("PostgreSQL 15.8");
    // raises EDatabaseError with the driver's own message otherwise. The
    // password is used for this attempt only. A SQLite database file that
    // does not exist is reported, not created.
    static std::string Test(const TOdbcDataSourceDef& definition, const std::string& password,
                            int loginTimeoutSeconds = LoginTimeoutSeconds);

    // The driver connection string for the definition (values in braces
    // when they hold separators).
    static std::string ConnectionString(const TOdbcDataSourceDef& definition, const std::string& password);
};
