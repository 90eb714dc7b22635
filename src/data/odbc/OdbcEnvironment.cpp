#include "data/odbc/OdbcEnvironment.h"

#include "data/odbc/OdbcError.h"

#include <sqlext.h>

TOdbcEnvironment::TOdbcEnvironment() {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env)))
        throw EDatabaseError("Cannot allocate an ODBC environment");
    SQLRETURN rc = SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(rc)) {
        EDatabaseError error = OdbcErrorFrom(SQL_HANDLE_ENV, m_env, "SQLSetEnvAttr");
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        throw error;
    }
}

TOdbcEnvironment::~TOdbcEnvironment() {
    SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

std::vector<std::string> TOdbcEnvironment::DataSourceNames() {
    std::vector<std::string> names;
    SQLCHAR name[SQL_MAX_DSN_LENGTH + 1];
    SQLCHAR description[512];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT descriptionLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (true) {
        SQLRETURN rc = SQLDataSources(m_env, direction, name, sizeof name, &nameLength, description,
                                      sizeof description, &descriptionLength);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc))
            throw OdbcErrorFrom(SQL_HANDLE_ENV, m_env, "SQLDataSources");
        names.emplace_back(reinterpret_cast<char*>(name));
        direction = SQL_FETCH_NEXT;
    }
    return names;
}
