#pragma once

#include <sql.h>

#include <cstdint>
#include <deque>
#include <string>

class TOdbcConnection;

// One statement handle: prepared SQL, text parameters bound with the SQL type
// of the column they are compared with or stored into, fetch, and values read
// as text. Failures raise EDatabaseError and tell the connection, which
// notices a lost link.
class TOdbcStatement {
public:
    explicit TOdbcStatement(TOdbcConnection& connection);
    ~TOdbcStatement();
    TOdbcStatement(const TOdbcStatement&) = delete;
    TOdbcStatement& operator=(const TOdbcStatement&) = delete;

    SQLHSTMT Handle() const { return m_stmt; }
    TOdbcConnection& Connection() const { return m_connection; }
    const std::string& Sql() const { return m_sql; }

    void Prepare(const std::string& sql);
    // Parameters are numbered from 1. A null value binds SQL NULL.
    void BindText(int index, const std::string& value, bool isNull, SQLSMALLINT sqlType, SQLULEN columnSize,
                  SQLSMALLINT decimalDigits);
    void BindInt64(int index, int64_t value);
    void Execute();
    void ExecDirect(const std::string& sql);

    // Moves to the next row; false at the end.
    bool Fetch();
    int ColumnCount();
    // Value of column (from 1) of the current row; NULL gives empty text and
    // sets IsNull to true.
    std::string GetText(int column, bool* isNull = nullptr);
    // Rows changed by the last UPDATE, INSERT or DELETE.
    int64_t RowCount();
    // Closes the cursor and forgets the parameters; the SQL stays prepared.
    void Reset();
    // Whether any call on this statement has failed.
    bool Failed() const { return m_failed; }

    // Raises the statement's diagnostics unless rc succeeded.
    void Check(SQLRETURN rc, const char* what);
    // Raises the statement's diagnostics.
    [[noreturn]] void Fail(const char* what);

private:
    struct Param {
        std::string Text;
        int64_t Number = 0;
        SQLLEN Indicator = 0;
    };
    Param& ParamAt(int index);

    TOdbcConnection& m_connection;
    SQLHSTMT m_stmt = SQL_NULL_HSTMT;
    std::string m_sql;
    bool m_failed = false;
    std::deque<Param> m_params; // stable addresses while bound
};
