#include "data/odbc/OdbcRowReader.h"

#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcStatement.h"

#include <sqlext.h>

#include <algorithm>

namespace {

// A value longer than this is read with SQLGetData: text columns without a
// declared size would otherwise take their full described size per row.
constexpr SQLLEN kMaxValueWidth = 256;
// Numbers, dates and times as text: 38 digits, sign and point, or a
// timestamp with nanoseconds, fit.
constexpr SQLLEN kMinOtherWidth = 64;
// The buffers of one rowset stay below this; wide rows fetch fewer at a time.
constexpr SQLLEN kMaxRowsetBytes = 1 << 20;

bool IsCharacterType(SQLSMALLINT type) {
    switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
        return true;
    default:
        return false;
    }
}

// Bytes for one value as SQL_C_CHAR: characters may take 4 bytes in UTF-8.
SQLLEN ValueWidth(SQLSMALLINT type, SQLULEN size) {
    if (size == 0 || size > SQLULEN(kMaxValueWidth))
        return kMaxValueWidth;
    SQLLEN bytes = static_cast<SQLLEN>(size);
    if (IsCharacterType(type))
        return std::min(bytes * 4 + 1, kMaxValueWidth);
    return std::clamp(bytes + 3, kMinOtherWidth, kMaxValueWidth);
}

} // namespace

TOdbcRowReader::TOdbcRowReader(TOdbcStatement& statement, int64_t maxRows) : m_statement(statement) {
    SQLULEN rows = statement.Connection().RowsPerFetch();
    if (rows > 0 && maxRows >= 0)
        rows = std::clamp<SQLULEN>(static_cast<SQLULEN>(maxRows), 1, rows);
    if (rows == 0)
        return;
    try {
        Bind(rows);
    } catch (...) {
        Unbind();
        throw;
    }
}

TOdbcRowReader::~TOdbcRowReader() {
    Unbind();
}

void TOdbcRowReader::Unbind() noexcept {
    if (m_rowsPerFetch == 0)
        return;
    // The buffers die with the reader: the statement must not write to them
    // again, and the next user of the cached statement expects single rows.
    SQLHSTMT stmt = m_statement.Handle();
    SQLFreeStmt(stmt, SQL_CLOSE);
    SQLFreeStmt(stmt, SQL_UNBIND);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(1)), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
}

void TOdbcRowReader::Bind(SQLULEN rowsPerFetch) {
    SQLHSTMT stmt = m_statement.Handle();
    const int count = m_statement.ColumnCount();
    std::vector<SQLLEN> widths;
    SQLLEN rowBytes = 0;
    for (int column = 1; column <= count; ++column) {
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        m_statement.Check(SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(column), nullptr, 0, nullptr, &type,
                                         &size, &digits, &nullable),
                          "SQLDescribeCol");
        widths.push_back(ValueWidth(type, size));
        rowBytes += widths.back() + SQLLEN(sizeof(SQLLEN));
    }
    rowsPerFetch = std::clamp<SQLULEN>(static_cast<SQLULEN>(kMaxRowsetBytes / std::max<SQLLEN>(rowBytes, 1)),
                                       1, rowsPerFetch);

    // From here on the statement holds pointers into this reader.
    m_rowsPerFetch = rowsPerFetch;
    m_status = std::make_unique_for_overwrite<SQLUSMALLINT[]>(rowsPerFetch);
    m_statement.Check(
        SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0),
        "SQLSetStmtAttr");
    m_statement.Check(
        SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rowsPerFetch), 0),
        "SQLSetStmtAttr");
    m_statement.Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, m_status.get(), 0), "SQLSetStmtAttr");
    m_statement.Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &m_fetched, 0), "SQLSetStmtAttr");
    m_columns.resize(widths.size());
    for (size_t i = 0; i < widths.size(); ++i) {
        Column& column = m_columns[i];
        column.Width = widths[i];
        // Left uninitialised: the driver writes every value before it is read.
        column.Values =
            std::make_unique_for_overwrite<char[]>(static_cast<size_t>(column.Width) * rowsPerFetch);
        column.Indicators = std::make_unique_for_overwrite<SQLLEN[]>(rowsPerFetch);
        m_statement.Check(SQLBindCol(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, column.Values.get(),
                                     column.Width, column.Indicators.get()),
                          "SQLBindCol");
    }
}

bool TOdbcRowReader::FetchRowset() {
    m_fetched = 0;
    SQLRETURN rc = SQLFetch(m_statement.Handle());
    if (rc == SQL_NO_DATA) {
        m_done = true;
        return false;
    }
    m_statement.Check(rc, "SQLFetch");
    for (SQLULEN row = 0; row < m_fetched; ++row)
        if (m_status[row] == SQL_ROW_ERROR)
            m_statement.Fail("SQLFetch");
    m_row = 0;
    m_positionedRow = 0;
    if (m_fetched == 0)
        m_done = true;
    return m_fetched > 0;
}

bool TOdbcRowReader::Next() {
    if (m_done)
        return false;
    if (m_rowsPerFetch == 0) {
        m_done = !m_statement.Fetch();
        return !m_done;
    }
    if (m_started && m_row + 1 < m_fetched) {
        ++m_row;
        return true;
    }
    m_started = true;
    return FetchRowset();
}

std::string TOdbcRowReader::Text(int column, bool* isNull) {
    if (m_rowsPerFetch == 0)
        return m_statement.GetText(column, isNull);
    const Column& bound = m_columns.at(static_cast<size_t>(column - 1));
    const SQLLEN indicator = bound.Indicators[m_row];
    if (isNull)
        *isNull = indicator == SQL_NULL_DATA;
    if (indicator == SQL_NULL_DATA)
        return std::string();
    if (indicator == SQL_NO_TOTAL || indicator >= bound.Width)
        return LongValue(column, isNull);
    return std::string(bound.Values.get() + static_cast<size_t>(bound.Width) * m_row,
                       static_cast<size_t>(indicator));
}

std::string TOdbcRowReader::LongValue(int column, bool* isNull) {
    // SQLGetData reads the row the cursor is positioned on within the rowset.
    if (m_rowsPerFetch > 1 && m_positionedRow != m_row + 1) {
        m_statement.Check(SQLSetPos(m_statement.Handle(), static_cast<SQLSETPOSIROW>(m_row + 1), SQL_POSITION,
                                    SQL_LOCK_NO_CHANGE),
                          "SQLSetPos");
        m_positionedRow = m_row + 1;
    }
    return m_statement.GetText(column, isNull);
}
