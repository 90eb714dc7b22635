#pragma once

#include <string>
#include <utility>
#include <vector>

// The kinds of driver whose data sources this program can define.
enum class TOdbcDriverKind { Other, SQLite, PostgreSQL };

// An installed ODBC driver, as the driver manager lists it.
struct TOdbcDriverInfo {
    std::string Name;    // the section name in odbcinst.ini ("SQLite3", "PostgreSQL Unicode")
    std::string Library; // its "Driver" attribute
    TOdbcDriverKind Kind = TOdbcDriverKind::Other;
};

// The values of a data source that the program edits. Database is the file
// for SQLite and the database name for PostgreSQL.
struct TOdbcDataSourceDef {
    std::string Name;
    std::string Driver;
    std::string Description;
    std::string Database;
    std::string Server;
    std::string Port;
    std::string UserName;
};

// The current user's ODBC data sources, read and written through unixODBC's
// installer (odbcinst), so that they land where the driver manager looks
// ($ODBCINI, else ~/.odbc.ini). System data sources are never written.
// Failures raise EDatabaseError with the installer's own message.
class TOdbcUserDataSources {
public:
    // Every installed driver, in the driver manager's order.
    static std::vector<TOdbcDriverInfo> Drivers();
    // What kind of driver a name is, looked up among the installed drivers;
    // Other for an unknown name.
    static TOdbcDriverKind KindOf(const std::string& driverName);

    // Names of the user data sources, sorted case-insensitively.
    static std::vector<std::string> Names();
    static bool Exists(const std::string& name);
    // Raises when there is no user data source of that name.
    static TOdbcDataSourceDef Read(const std::string& name);
    // Every key and value of a user data source, in file order.
    static std::vector<std::pair<std::string, std::string>> Attributes(const std::string& name);

    // Creates or replaces the data source definition.Name. previousName (when
    // not empty) is the one being edited: its keys that this program does not
    // manage are kept when the driver kind stays the same, and it is removed
    // when the name changed. PostgreSQL sources always get CommLog=0 and
    // Debug=0, so the driver writes no log files.
    static void Write(const TOdbcDataSourceDef& definition, const std::string& previousName = std::string());
    static void Remove(const std::string& name);

    // Why a definition cannot be written, or empty when it can.
    static std::string Problem(const TOdbcDataSourceDef& definition);
};
