#pragma once

#include "data/odbc/OdbcStatement.h"

#include <sql.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TOdbcEnvironment;
class EDatabaseError;
class TOdbcConnection;

// A column as the driver describes it.
struct TOdbcColumn {
    std::string Name;
    std::string TypeName; // the DBMS's own name of the type
    SQLSMALLINT SqlType = 0;
    SQLULEN Size = 0;
    SQLSMALLINT DecimalDigits = 0;
    bool Nullable = true;
    bool AutoIncrement = false;
};

// A prepared statement borrowed from its connection's cache; it goes back to
// the cache (closed, parameters forgotten) when the lease ends.
class TOdbcStatementLease {
public:
    TOdbcStatementLease(TOdbcConnection& connection, std::unique_ptr<TOdbcStatement> statement);
    ~TOdbcStatementLease();
    TOdbcStatementLease(TOdbcStatementLease&&) = default;
    TOdbcStatementLease& operator=(TOdbcStatementLease&&) = delete;
    TOdbcStatement* operator->() const { return m_statement.get(); }
    TOdbcStatement& operator*() const { return *m_statement; }

private:
    TOdbcConnection& m_connection;
    std::unique_ptr<TOdbcStatement> m_statement;
};

// One ODBC connection to a data source, opened by DSN, user name and password
// without ever prompting. It keeps the prepared statements of the requests
// that ran on it, and reports itself not open once its link was lost, so that
// the owner connects afresh.
class TOdbcConnection {
public:
    explicit TOdbcConnection(std::shared_ptr<TOdbcEnvironment> environment);
    ~TOdbcConnection();
    TOdbcConnection(const TOdbcConnection&) = delete;
    TOdbcConnection& operator=(const TOdbcConnection&) = delete;

    // Raises EDatabaseError with the driver's message; the connection is then closed.
    void Open(const std::string& dsn, const std::string& user, const std::string& password);
    void Close();
    bool IsOpen() const { return m_open && !m_lost; }
    SQLHDBC Handle() const { return m_dbc; }
    const std::string& Dsn() const { return m_dsn; }

    const std::string& DbmsName() const { return m_dbmsName; }
    bool IsPostgreSQL() const;
    bool IsSQLite() const;
    // How many connections the database server admits (PostgreSQL's
    // max_connections, else what the driver reports); 0 when unknown.
    int ServerConnectionLimit();
    // Whether SELECT accepts "LIMIT ? OFFSET ?".
    bool HasLimitOffset() const;
    // Rows fetched at a time into bound buffers by TOdbcRowReader; 0: one
    // SQLFetch per row and one SQLGetData per value. ZEL_ROWS_PER_FETCH, read
    // at Open, sets it; a driver that cannot read a long value of a row
    // within a rowset gets one row at a time, one that cannot read a bound
    // column with SQLGetData gets 0.
    SQLULEN RowsPerFetch() const { return m_rowsPerFetch; }
    // Whether ORDER BY puts NULLs before every value (asked once per connection).
    bool NullsSortLow();
    // Identifier quoted with the driver's quote character (inner quotes doubled).
    std::string QuoteIdentifier(const std::string& name) const;

    // Catalog: user tables and views, system tables left out.
    std::vector<std::string> TableNames();
    // The catalog's spelling of a table name: the name itself when the
    // catalog lists it so, else the one listed that differs only in letter
    // case (PostgreSQL folds unquoted names), else the name unchanged.
    std::string CatalogTableName(const std::string& table);
    // Columns of a table in table order, from a query that returns no rows;
    // raises the driver's error for a table that does not exist.
    std::vector<TOdbcColumn> Columns(const std::string& table);
    std::vector<std::string> PrimaryKey(const std::string& table);
    // The driver's best row identifier (real columns only).
    std::vector<std::string> BestRowIdentifier(const std::string& table);

    // A prepared statement for sql, from the cache when it was prepared before.
    // A statement that failed is not cached again.
    TOdbcStatementLease Prepare(const std::string& sql);
    size_t CachedStatementCount() const { return m_cache.size(); }
    // SQL of the statement that went back to the cache last; empty when none.
    std::string MostRecentSql() const { return m_cache.empty() ? std::string() : m_cache.front()->Sql(); }
    // Drops the cached statements whose SQL contains text (a quoted table
    // name): they may describe a shape the table no longer has.
    void ForgetStatements(const std::string& text);
    // A table was opened afresh and has these columns (any text that
    // changes with them): its statements are dropped when the shape differs
    // from the one last noted, so that opening an unchanged table keeps them.
    void NoteTableShape(const std::string& quotedTable, const std::string& columns);
    // Replaces this connection's own record of shapes, so that the owner can
    // share it among its connections: true when this connection must drop
    // the table's statements.
    std::function<bool(const std::string& quotedTable, const std::string& columns)> OnTableShape;
    // Seconds each statement made from now on may run (0: no bound).
    int StatementTimeout = 0;
    // Whether the driver ends a statement after StatementTimeout by itself;
    // the SQLite driver accepts the setting and ignores it.
    bool HonoursStatementTimeout() const { return !IsSQLite(); }
    // Cancels whatever the statements of this connection are running; may
    // be called from any thread.
    void CancelStatements();

    // Autocommit off until Commit or Rollback.
    void BeginTransaction();
    // A transaction whose first statement takes the database's write lock:
    // on SQLite "BEGIN IMMEDIATE", so that the busy timeout applies to it and
    // no reading transaction has to upgrade to writing later (that upgrade
    // fails at once while another connection writes); elsewhere as
    // BeginTransaction.
    void BeginWriteTransaction();
    void Commit();
    // Never raises: used while another failure is on its way.
    void Rollback() noexcept;
    bool InTransaction() const { return m_inTransaction; }

    // Called with every failure raised on this connection or its statements.
    void NoteFailure(const EDatabaseError& error);
    [[noreturn]] void Fail(SQLRETURN rc, const char* what);

private:
    friend class TOdbcStatementLease;
    friend class TOdbcStatement;
    void Register(SQLHSTMT statement);
    void Unregister(SQLHSTMT statement);
    void Return(std::unique_ptr<TOdbcStatement> statement);
    void ReadInfo();
    void ApplyLockWaitDefault();
    SQLULEN ChooseRowsPerFetch();
    std::string InfoString(SQLUSMALLINT type);

    std::shared_ptr<TOdbcEnvironment> m_environment;
    SQLHDBC m_dbc = SQL_NULL_HDBC;
    bool m_open = false;
    bool m_lost = false;
    bool m_inTransaction = false;
    bool m_explicitTransaction = false; // begun by a statement, autocommit left on
    std::string m_dsn;
    std::string m_dbmsName;
    std::string m_quote;
    SQLULEN m_rowsPerFetch = 0;
    int m_nullsSortLow = -1;                            // unknown until asked
    std::list<std::unique_ptr<TOdbcStatement>> m_cache; // most recently used first
    std::map<std::string, std::string> m_shapes;        // quoted table -> columns
    std::map<std::string, bool> m_doubted;              // quoted table -> a statement on it failed
    std::mutex m_liveLock;                              // CancelStatements runs on another thread
    std::vector<SQLHSTMT> m_live;                       // statement handles allocated now
};

// Rows per fetch unless ZEL_ROWS_PER_FETCH says otherwise.
constexpr SQLULEN ZEL_DEFAULT_ROWS_PER_FETCH = 64;

// How long a request waits for a lock another program holds, unless the data
// source says otherwise: the server serves every handheld on one thread.
constexpr int ZEL_DEFAULT_LOCK_WAIT_MS = 5000;
