#include "data/odbc/OdbcStatement.h"

#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcError.h"

#include <sqlext.h>

TOdbcStatement::TOdbcStatement(TOdbcConnection& connection) : m_connection(connection) {
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, connection.Handle(), &m_stmt);
    if (!SQL_SUCCEEDED(rc))
        connection.Fail(rc, "SQLAllocHandle");
    // A stuck statement ends with an error instead of holding its
    // connection. A driver that refuses the setting still runs statements.
    if (connection.StatementTimeout > 0)
        SQLSetStmtAttr(m_stmt, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(connection.StatementTimeout)), 0);
    connection.Register(m_stmt);
}

TOdbcStatement::~TOdbcStatement() {
    m_connection.Unregister(m_stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, m_stmt);
}

void TOdbcStatement::Check(SQLRETURN rc, const char* what) {
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return;
    Fail(what);
}

void TOdbcStatement::Fail(const char* what) {
    m_failed = true;
    EDatabaseError error = OdbcErrorFrom(SQL_HANDLE_STMT, m_stmt, what);
    m_connection.NoteFailure(error);
    throw error;
}

void TOdbcStatement::Prepare(const std::string& sql) {
    m_sql = sql;
    Check(SQLPrepare(m_stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
          "SQLPrepare");
}

TOdbcStatement::Param& TOdbcStatement::ParamAt(int index) {
    while (static_cast<int>(m_params.size()) < index)
        m_params.emplace_back();
    return m_params[static_cast<size_t>(index - 1)];
}

void TOdbcStatement::BindText(int index, const std::string& value, bool isNull, SQLSMALLINT sqlType,
                              SQLULEN columnSize, SQLSMALLINT decimalDigits) {
    Param& param = ParamAt(index);
    param.Text = value;
    param.Indicator = isNull ? SQL_NULL_DATA : static_cast<SQLLEN>(param.Text.size());
    Check(SQLBindParameter(m_stmt, static_cast<SQLUSMALLINT>(index), SQL_PARAM_INPUT, SQL_C_CHAR, sqlType,
                           columnSize, decimalDigits, param.Text.data(),
                           static_cast<SQLLEN>(param.Text.size()), &param.Indicator),
          "SQLBindParameter");
}

void TOdbcStatement::BindInt64(int index, int64_t value) {
    Param& param = ParamAt(index);
    param.Number = value;
    param.Indicator = 0;
    Check(SQLBindParameter(m_stmt, static_cast<SQLUSMALLINT>(index), SQL_PARAM_INPUT, SQL_C_SBIGINT,
                           SQL_BIGINT, 0, 0, &param.Number, 0, &param.Indicator),
          "SQLBindParameter");
}

void TOdbcStatement::Execute() {
    Check(SQLExecute(m_stmt), "SQLExecute");
}

void TOdbcStatement::ExecDirect(const std::string& sql) {
    m_sql = sql;
    Check(SQLExecDirect(m_stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
          "SQLExecDirect");
}

bool TOdbcStatement::Fetch() {
    SQLRETURN rc = SQLFetch(m_stmt);
    if (rc == SQL_NO_DATA)
        return false;
    Check(rc, "SQLFetch");
    return true;
}

int TOdbcStatement::ColumnCount() {
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(m_stmt, &count), "SQLNumResultCols");
    return count;
}

std::string TOdbcStatement::GetText(int column, bool* isNull) {
    std::string text;
    char buffer[1024];
    SQLLEN indicator = 0;
    if (isNull)
        *isNull = false;
    // Long values arrive in pieces, each but the last filling the buffer.
    while (true) {
        SQLRETURN rc = SQLGetData(m_stmt, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, buffer,
                                  sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA)
            break;
        Check(rc, "SQLGetData");
        if (indicator == SQL_NULL_DATA) {
            if (isNull)
                *isNull = true;
            return std::string();
        }
        if (rc == SQL_SUCCESS_WITH_INFO &&
            (indicator == SQL_NO_TOTAL || indicator >= SQLLEN(sizeof buffer))) {
            text.append(buffer, sizeof buffer - 1);
            continue;
        }
        text.append(buffer, static_cast<size_t>(indicator));
        break;
    }
    return text;
}

int64_t TOdbcStatement::RowCount() {
    SQLLEN count = 0;
    Check(SQLRowCount(m_stmt, &count), "SQLRowCount");
    return count;
}

void TOdbcStatement::Reset() {
    SQLFreeStmt(m_stmt, SQL_CLOSE);
    SQLFreeStmt(m_stmt, SQL_RESET_PARAMS);
    m_params.clear();
}
