#include "data/odbc/OdbcConnectionProbe.h"

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcEnvironment.h"
#include "data/odbc/OdbcError.h"

#include <sql.h>
#include <sqlext.h>

#include <filesystem>

namespace {

// Braces keep separators inside a value; a closing brace inside is doubled.
std::string Attribute(const std::string& key, const std::string& value) {
    const bool plain = value.find_first_of(";{}") == std::string::npos &&
                       (value.empty() || (value.front() != ' ' && value.back() != ' '));
    if (plain)
        return key + "=" + value + ";";
    std::string quoted;
    for (char c : value) {
        quoted += c;
        if (c == '}')
            quoted += '}';
    }
    return key + "={" + quoted + "};";
}

// A connection handle that is always disconnected and freed.
class TProbeHandle {
public:
    explicit TProbeHandle(SQLHENV environment) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment, &m_dbc)))
            throw OdbcErrorFrom(SQL_HANDLE_ENV, environment, "SQLAllocHandle");
    }
    ~TProbeHandle() {
        if (m_connected)
            SQLDisconnect(m_dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    }
    TProbeHandle(const TProbeHandle&) = delete;
    TProbeHandle& operator=(const TProbeHandle&) = delete;

    SQLHDBC Handle() const { return m_dbc; }
    void SetConnected() { m_connected = true; }

    std::string Info(SQLUSMALLINT type) const {
        char buffer[256] = {0};
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(SQLGetInfo(m_dbc, type, buffer, sizeof buffer, &length)))
            return {};
        return buffer;
    }

private:
    SQLHDBC m_dbc = SQL_NULL_HDBC;
    bool m_connected = false;
};

} // namespace

std::string TOdbcConnectionProbe::ConnectionString(const TOdbcDataSourceDef& definition,
                                                   const std::string& password) {
    std::string text = "Driver={" + definition.Driver + "};";
    switch (TOdbcUserDataSources::KindOf(definition.Driver)) {
    case TOdbcDriverKind::SQLite:
        // A test must not leave a new empty database behind.
        text += Attribute("Database", definition.Database) + "NoCreat=1;";
        break;
    case TOdbcDriverKind::PostgreSQL:
        text += Attribute("Servername", definition.Server) +
                Attribute("Port", definition.Port.empty() ? std::string("5432") : definition.Port) +
                Attribute("Database", definition.Database) + Attribute("Username", definition.UserName) +
                Attribute("Password", password) + "CommLog=0;Debug=0;";
        break;
    case TOdbcDriverKind::Other:
        break;
    }
    return text;
}

std::string TOdbcConnectionProbe::Test(const TOdbcDataSourceDef& definition, const std::string& password,
                                       int loginTimeoutSeconds) {
    TOdbcDataSourceDef named = definition;
    if (named.Name.empty())
        named.Name = "Test"; // a name is not needed to try the values
    const std::string problem = TOdbcUserDataSources::Problem(named);
    if (!problem.empty())
        throw EDatabaseError(problem);
    // The driver would only say "connect failed".
    std::error_code error;
    if (TOdbcUserDataSources::KindOf(definition.Driver) == TOdbcDriverKind::SQLite &&
        !std::filesystem::exists(definition.Database, error))
        throw EDatabaseError("The database file \"" + definition.Database + "\" does not exist.");

    TOdbcEnvironment environment;
    TProbeHandle connection(environment.Handle());
    SQLSetConnectAttr(connection.Handle(), SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeoutSeconds)), 0);
    std::string text = ConnectionString(definition, password);
    SQLCHAR completed[1024];
    SQLSMALLINT completedLength = 0;
    const SQLRETURN rc =
        SQLDriverConnect(connection.Handle(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                         completed, sizeof completed, &completedLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc))
        throw OdbcErrorFrom(SQL_HANDLE_DBC, connection.Handle(), "SQLDriverConnect");
    connection.SetConnected();
    const std::string name = connection.Info(SQL_DBMS_NAME);
    const std::string version = connection.Info(SQL_DBMS_VER);
    return version.empty() ? name : name + " " + version;
}
