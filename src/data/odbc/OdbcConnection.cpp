#include "data/odbc/OdbcConnection.h"

#include "base/Zel_EventLogger.h"
#include "data/odbc/OdbcEnvironment.h"
#include "data/odbc/OdbcError.h"

#include <odbcinst.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace {

constexpr size_t kStatementCacheSize = 32;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

SQLCHAR* Chars(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

// The SQLite driver describes DECIMAL(p,s) columns as VARCHAR; they hold
// fixed-point numbers, so describe them as such, with their precision and scale.
void FixFixedPointType(TOdbcColumn& column) {
    if (column.SqlType != SQL_VARCHAR && column.SqlType != SQL_CHAR && column.SqlType != SQL_WVARCHAR)
        return;
    std::string name = Lower(column.TypeName);
    if (name.rfind("decimal", 0) != 0 && name.rfind("numeric", 0) != 0)
        return;
    column.SqlType = SQL_DECIMAL;
    int precision = 0;
    int scale = 0;
    size_t open = name.find('(');
    if (open != std::string::npos && std::sscanf(name.c_str() + open, "(%d,%d", &precision, &scale) >= 1) {
        column.Size = static_cast<SQLULEN>(precision);
        column.DecimalDigits = static_cast<SQLSMALLINT>(scale);
    } else {
        column.Size = 15;
        column.DecimalDigits = 0;
    }
}

} // namespace

TOdbcStatementLease::TOdbcStatementLease(TOdbcConnection& connection,
                                         std::unique_ptr<TOdbcStatement> statement)
    : m_connection(connection), m_statement(std::move(statement)) {}

TOdbcStatementLease::~TOdbcStatementLease() {
    if (m_statement)
        m_connection.Return(std::move(m_statement));
}

TOdbcConnection::TOdbcConnection(std::shared_ptr<TOdbcEnvironment> environment)
    : m_environment(std::move(environment)) {}

TOdbcConnection::~TOdbcConnection() {
    Close();
}

void TOdbcConnection::Fail(SQLRETURN, const char* what) {
    EDatabaseError error = OdbcErrorFrom(SQL_HANDLE_DBC, m_dbc, what);
    NoteFailure(error);
    throw error;
}

void TOdbcConnection::Open(const std::string& dsn, const std::string& user, const std::string& password) {
    Close();
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, m_environment->Handle(), &m_dbc);
    if (!SQL_SUCCEEDED(rc))
        throw OdbcErrorFrom(SQL_HANDLE_ENV, m_environment->Handle(), "SQLAllocHandle");
    // A server that takes the connection and never answers must not hold the
    // one thread that serves every handheld.
    SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(5)), 0);
    // SQLConnect never shows a dialog: what the definition holds is all that is sent.
    rc = SQLConnect(m_dbc, Chars(dsn), SQL_NTS, user.empty() ? nullptr : Chars(user), SQL_NTS,
                    password.empty() ? nullptr : Chars(password), SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) {
        EDatabaseError error = OdbcErrorFrom(SQL_HANDLE_DBC, m_dbc, "SQLConnect");
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        m_dbc = SQL_NULL_HDBC;
        throw error;
    }
    m_open = true;
    m_lost = false;
    m_dsn = dsn;
    m_nullsSortLow = -1;
    try {
        ReadInfo();
        ApplyLockWaitDefault();
    } catch (...) {
        Close();
        throw;
    }
}

void TOdbcConnection::Close() {
    m_cache.clear();
    if (m_dbc != SQL_NULL_HDBC) {
        if (m_open) {
            if (m_inTransaction)
                SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_ROLLBACK);
            SQLDisconnect(m_dbc);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    }
    m_dbc = SQL_NULL_HDBC;
    m_open = false;
    m_inTransaction = false;
    m_explicitTransaction = false;
}

std::string TOdbcConnection::InfoString(SQLUSMALLINT type) {
    char buffer[256] = {0};
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetInfo(m_dbc, type, buffer, sizeof buffer, &length);
    if (!SQL_SUCCEEDED(rc))
        Fail(rc, "SQLGetInfo");
    return buffer;
}

void TOdbcConnection::ReadInfo() {
    m_dbmsName = InfoString(SQL_DBMS_NAME);
    m_quote = InfoString(SQL_IDENTIFIER_QUOTE_CHAR);
    if (m_quote == " ")
        m_quote.clear(); // the driver does not quote identifiers
    m_rowsPerFetch = ChooseRowsPerFetch();
}

SQLULEN TOdbcConnection::ChooseRowsPerFetch() {
    SQLULEN wanted = ZEL_DEFAULT_ROWS_PER_FETCH;
    if (const char* text = std::getenv("ZEL_ROWS_PER_FETCH"); text && *text) {
        char* end = nullptr;
        const long long number = std::strtoll(text, &end, 10);
        if (*end == '\0' && number >= 0)
            wanted = static_cast<SQLULEN>(std::min(number, 100000LL));
        else
            LogError(std::string("Ignoring ZEL_ROWS_PER_FETCH=") + text +
                     ": not a whole number of 0 or more");
    }
    SQLUINTEGER getData = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(m_dbc, SQL_GETDATA_EXTENSIONS, &getData, sizeof getData, nullptr)))
        return 0;
    // A value longer than its buffer is read with SQLGetData on a bound
    // column, of a row within the rowset when it holds more than one.
    if (!(getData & SQL_GD_BOUND) || !(getData & SQL_GD_ANY_ORDER))
        return 0;
    SQLUINTEGER positioning = 0;
    if (!(getData & SQL_GD_BLOCK) ||
        !SQL_SUCCEEDED(SQLGetInfo(m_dbc, SQL_POS_OPERATIONS, &positioning, sizeof positioning, nullptr)) ||
        !(positioning & SQL_POS_POSITION))
        return std::min<SQLULEN>(wanted, 1);
    return wanted;
}

int TOdbcConnection::ServerConnectionLimit() {
    if (IsPostgreSQL()) {
        TOdbcStatement show(*this);
        show.ExecDirect("SHOW max_connections");
        return show.Fetch() ? std::atoi(show.GetText(1).c_str()) : 0;
    }
    SQLUSMALLINT most = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(m_dbc, SQL_MAX_DRIVER_CONNECTIONS, &most, sizeof most, nullptr)))
        return most;
    return 0;
}

void TOdbcConnection::ApplyLockWaitDefault() {
    if (IsPostgreSQL()) {
        TOdbcStatement show(*this);
        show.ExecDirect("SHOW lock_timeout");
        std::string current = show.Fetch() ? show.GetText(1) : std::string();
        if (current == "0") {
            TOdbcStatement set(*this);
            set.ExecDirect("SET lock_timeout = " + std::to_string(ZEL_DEFAULT_LOCK_WAIT_MS));
        }
    } else if (IsSQLite()) {
        char timeout[64] = {0};
        SQLGetPrivateProfileString(m_dsn.c_str(), "Timeout", "", timeout, sizeof timeout, "odbc.ini");
        if (timeout[0] == '\0') {
            TOdbcStatement set(*this);
            set.ExecDirect("PRAGMA busy_timeout = " + std::to_string(ZEL_DEFAULT_LOCK_WAIT_MS));
        }
        // LIKE compares case-sensitively, as "=" does and as on other DBMSs.
        TOdbcStatement like(*this);
        like.ExecDirect("PRAGMA case_sensitive_like = ON");
    }
}

bool TOdbcConnection::IsPostgreSQL() const {
    return Lower(m_dbmsName).find("postgres") != std::string::npos;
}

bool TOdbcConnection::IsSQLite() const {
    return Lower(m_dbmsName).find("sqlite") != std::string::npos;
}

bool TOdbcConnection::NullsSortLow() {
    if (m_nullsSortLow < 0) {
        // Each DBMS has its own default: asking beats a list of names.
        TOdbcStatement probe(*this);
        probe.ExecDirect("SELECT x FROM (SELECT NULL AS x UNION ALL SELECT 1 AS x) t ORDER BY x");
        bool isNull = false;
        if (!probe.Fetch())
            throw EDatabaseError("NULL ordering probe returned no row");
        probe.GetText(1, &isNull);
        m_nullsSortLow = isNull ? 1 : 0;
    }
    return m_nullsSortLow == 1;
}

bool TOdbcConnection::HasLimitOffset() const {
    std::string name = Lower(m_dbmsName);
    for (const char* dbms : {"postgres", "sqlite", "mysql", "mariadb", "h2", "hsql", "duckdb"})
        if (name.find(dbms) != std::string::npos)
            return true;
    return false;
}

std::string TOdbcConnection::QuoteIdentifier(const std::string& name) const {
    if (m_quote.empty())
        return name;
    std::string quoted;
    quoted.reserve(name.size() + 2 * m_quote.size());
    quoted = m_quote;
    if (m_quote.size() == 1) {
        for (char c : name) {
            quoted += c;
            if (c == m_quote[0])
                quoted += c;
        }
    } else {
        // A quote of several characters never equals one character: nothing to double.
        quoted += name;
    }
    quoted += m_quote;
    return quoted;
}

std::vector<std::string> TOdbcConnection::TableNames() {
    TOdbcStatement statement(*this);
    statement.Check(
        SQLTables(statement.Handle(), nullptr, 0, nullptr, 0, nullptr, 0, Chars("TABLE,VIEW"), SQL_NTS),
        "SQLTables");
    std::vector<std::string> names;
    while (statement.Fetch()) {
        std::string schema = Lower(statement.GetText(2));
        std::string name = statement.GetText(3);
        if (schema == "pg_catalog" || schema == "information_schema" || Lower(name).rfind("sqlite_", 0) == 0)
            continue;
        names.push_back(name);
    }
    return names;
}

std::string TOdbcConnection::CatalogTableName(const std::string& table) {
    const std::vector<std::string> names = TableNames();
    if (std::find(names.begin(), names.end(), table) != names.end())
        return table;
    const std::string wanted = Lower(table);
    for (const std::string& name : names)
        if (Lower(name) == wanted)
            return name;
    return table;
}

std::vector<TOdbcColumn> TOdbcConnection::Columns(const std::string& table) {
    TOdbcStatement statement(*this);
    statement.ExecDirect("SELECT * FROM " + QuoteIdentifier(table) + " WHERE 1=0");
    int count = statement.ColumnCount();
    std::vector<TOdbcColumn> columns;
    for (int i = 1; i <= count; ++i) {
        SQLCHAR name[512] = {0};
        SQLSMALLINT nameLength = 0;
        TOdbcColumn column;
        SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
        statement.Check(SQLDescribeCol(statement.Handle(), static_cast<SQLUSMALLINT>(i), name, sizeof name,
                                       &nameLength, &column.SqlType, &column.Size, &column.DecimalDigits,
                                       &nullable),
                        "SQLDescribeCol");
        column.Name = reinterpret_cast<char*>(name);
        column.Nullable = nullable != SQL_NO_NULLS;
        char typeName[128] = {0};
        SQLSMALLINT typeNameLength = 0;
        if (SQL_SUCCEEDED(SQLColAttribute(statement.Handle(), static_cast<SQLUSMALLINT>(i),
                                          SQL_DESC_TYPE_NAME, typeName, sizeof typeName, &typeNameLength,
                                          nullptr)))
            column.TypeName = typeName;
        SQLLEN autoUnique = SQL_FALSE;
        if (SQL_SUCCEEDED(SQLColAttribute(statement.Handle(), static_cast<SQLUSMALLINT>(i),
                                          SQL_DESC_AUTO_UNIQUE_VALUE, nullptr, 0, nullptr, &autoUnique)))
            column.AutoIncrement = autoUnique == SQL_TRUE;
        columns.push_back(column);
    }
    statement.Reset();
    // The SQLite driver names a column without a declared type "varchar" and
    // drops a declared type's size; the declared type tells how SQLite
    // converts what is stored (its affinity), so take it from the table.
    if (IsSQLite()) {
        TOdbcStatement info(*this);
        info.ExecDirect("PRAGMA table_info(" + QuoteIdentifier(table) + ")");
        std::map<std::string, std::string> declared;
        while (info.Fetch())
            declared[info.GetText(2)] = info.GetText(3);
        for (TOdbcColumn& column : columns)
            if (auto it = declared.find(column.Name); it != declared.end())
                column.TypeName = it->second;
    }
    for (TOdbcColumn& column : columns)
        FixFixedPointType(column);
    // Precision and scale the description left out come from the catalog.
    for (TOdbcColumn& column : columns) {
        if (column.SqlType != SQL_DECIMAL || column.TypeName.find('(') != std::string::npos)
            continue;
        TOdbcStatement catalog(*this);
        if (!SQL_SUCCEEDED(
                SQLColumns(catalog.Handle(), nullptr, 0, nullptr, 0, Chars(table), SQL_NTS, nullptr, 0)))
            break;
        std::map<std::string, std::string> typeNames;
        while (catalog.Fetch())
            typeNames[Lower(catalog.GetText(4))] = catalog.GetText(6);
        for (TOdbcColumn& fixed : columns) {
            auto it = typeNames.find(Lower(fixed.Name));
            if (fixed.SqlType == SQL_DECIMAL && it != typeNames.end() &&
                it->second.find('(') != std::string::npos) {
                fixed.TypeName = it->second;
                fixed.SqlType = SQL_VARCHAR;
                FixFixedPointType(fixed);
            }
        }
        break;
    }
    return columns;
}

std::vector<std::string> TOdbcConnection::PrimaryKey(const std::string& table) {
    TOdbcStatement statement(*this);
    SQLRETURN rc = SQLPrimaryKeys(statement.Handle(), nullptr, 0, nullptr, 0, Chars(table), SQL_NTS);
    if (!SQL_SUCCEEDED(rc))
        return {}; // not every driver offers it; the caller falls back
    std::map<int, std::string> bySequence;
    while (statement.Fetch()) {
        std::string column = statement.GetText(4);
        int sequence = std::atoi(statement.GetText(5).c_str());
        bySequence.emplace(sequence, column);
    }
    std::vector<std::string> key;
    for (auto& entry : bySequence)
        key.push_back(entry.second);
    return key;
}

std::vector<std::string> TOdbcConnection::BestRowIdentifier(const std::string& table) {
    TOdbcStatement statement(*this);
    SQLRETURN rc = SQLSpecialColumns(statement.Handle(), SQL_BEST_ROWID, nullptr, 0, nullptr, 0, Chars(table),
                                     SQL_NTS, SQL_SCOPE_CURROW, SQL_NULLABLE);
    if (!SQL_SUCCEEDED(rc))
        return {};
    std::vector<std::string> columns;
    while (statement.Fetch()) {
        std::string column = statement.GetText(2);
        bool pseudo = std::atoi(statement.GetText(8).c_str()) == SQL_PC_PSEUDO;
        if (!pseudo && !column.empty())
            columns.push_back(column);
    }
    return columns;
}

TOdbcStatementLease TOdbcConnection::Prepare(const std::string& sql) {
    for (auto it = m_cache.begin(); it != m_cache.end(); ++it) {
        if ((*it)->Sql() == sql) {
            std::unique_ptr<TOdbcStatement> statement = std::move(*it);
            m_cache.erase(it);
            return TOdbcStatementLease(*this, std::move(statement));
        }
    }
    auto statement = std::make_unique<TOdbcStatement>(*this);
    statement->Prepare(sql);
    return TOdbcStatementLease(*this, std::move(statement));
}

void TOdbcConnection::Return(std::unique_ptr<TOdbcStatement> statement) {
    // A failed statement may be one the server no longer accepts (a plan
    // whose result type changed): prepare it afresh next time.
    if (!IsOpen())
        return;
    if (statement->Failed()) {
        // The table may have changed since it was last opened, and back
        // again before it is opened next: the shape then noted proves
        // nothing about the statements prepared meanwhile.
        for (auto& [table, doubted] : m_doubted)
            if (statement->Sql().find(table) != std::string::npos)
                doubted = true;
        return;
    }
    statement->Reset();
    m_cache.push_front(std::move(statement));
    if (m_cache.size() > kStatementCacheSize)
        m_cache.pop_back();
}

void TOdbcConnection::ForgetStatements(const std::string& text) {
    m_cache.remove_if([&text](const std::unique_ptr<TOdbcStatement>& statement) {
        return statement->Sql().find(text) != std::string::npos;
    });
}

void TOdbcConnection::Register(SQLHSTMT statement) {
    std::lock_guard lock(m_liveLock);
    m_live.push_back(statement);
}

void TOdbcConnection::Unregister(SQLHSTMT statement) {
    std::lock_guard lock(m_liveLock);
    m_live.erase(std::remove(m_live.begin(), m_live.end(), statement), m_live.end());
}

void TOdbcConnection::CancelStatements() {
    std::lock_guard lock(m_liveLock);
    for (SQLHSTMT statement : m_live)
        SQLCancel(statement);
}

void TOdbcConnection::NoteTableShape(const std::string& quotedTable, const std::string& columns) {
    bool drop = std::exchange(m_doubted[quotedTable], false);
    if (OnTableShape) {
        drop = OnTableShape(quotedTable, columns) || drop;
    } else {
        auto [known, first] = m_shapes.try_emplace(quotedTable, columns);
        drop = drop || (!first && known->second != columns);
        known->second = columns;
    }
    if (drop)
        ForgetStatements(quotedTable);
}

void TOdbcConnection::BeginTransaction() {
    SQLRETURN rc =
        SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    if (!SQL_SUCCEEDED(rc))
        Fail(rc, "SQLSetConnectAttr");
    m_inTransaction = true;
}

void TOdbcConnection::BeginWriteTransaction() {
    if (!IsSQLite()) {
        BeginTransaction();
        return;
    }
    TOdbcStatement begin(*this);
    begin.ExecDirect("BEGIN IMMEDIATE");
    m_inTransaction = true;
    m_explicitTransaction = true;
}

void TOdbcConnection::Commit() {
    if (m_explicitTransaction) {
        try {
            TOdbcStatement commit(*this);
            commit.ExecDirect("COMMIT");
        } catch (...) {
            Rollback();
            throw;
        }
        m_inTransaction = false;
        m_explicitTransaction = false;
        return;
    }
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_COMMIT);
    if (!SQL_SUCCEEDED(rc)) {
        EDatabaseError error = OdbcErrorFrom(SQL_HANDLE_DBC, m_dbc, "SQLEndTran");
        NoteFailure(error);
        Rollback();
        throw error;
    }
    m_inTransaction = false;
    SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

void TOdbcConnection::Rollback() noexcept {
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    if (m_dbc == SQL_NULL_HDBC || !m_open)
        return;
    // Open cursors of cached statements would keep SQLite's locks.
    for (auto& statement : m_cache)
        SQLFreeStmt(statement->Handle(), SQL_CLOSE);
    if (std::exchange(m_explicitTransaction, false)) {
        try {
            TOdbcStatement rollback(*this);
            rollback.ExecDirect("ROLLBACK");
        } catch (...) {
            // SQLite may have rolled back by itself already.
        }
        return;
    }
    SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_ROLLBACK);
    SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

void TOdbcConnection::NoteFailure(const EDatabaseError& error) {
    if (!m_open || m_lost)
        return;
    // PostgreSQL refuses a prepared statement whose result type changed
    // (ALTER COLUMN ... TYPE) with this state: the other cached statements
    // may have met the same change, so they are all prepared afresh.
    if (error.SQLState() == "0A000")
        m_cache.clear();
    if (IsConnectionLostState(error.SQLState())) {
        m_lost = true;
        return;
    }
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (SQL_SUCCEEDED(SQLGetConnectAttr(m_dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
        dead == SQL_CD_TRUE)
        m_lost = true;
}
