#pragma once

#include <sql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TOdbcStatement;

// Reads the result of an executed statement row by row. Values are fetched
// into bound column buffers many rows at a time (the connection's
// RowsPerFetch); a value longer than its buffer is read whole with
// SQLGetData. With RowsPerFetch 0 every row is one SQLFetch and every value
// one SQLGetData.
//
// The statement comes back clean when the reader ends, however it ends:
// cursor closed, columns unbound, one row per fetch.
class TOdbcRowReader {
public:
    // maxRows: the most rows the caller will read (negative: unknown), so
    // that no more are converted than asked for.
    explicit TOdbcRowReader(TOdbcStatement& statement, int64_t maxRows = -1);
    ~TOdbcRowReader();
    TOdbcRowReader(const TOdbcRowReader&) = delete;
    TOdbcRowReader& operator=(const TOdbcRowReader&) = delete;

    // Moves to the next row; false at the end.
    bool Next();
    // Value of column (from 1) of the current row; NULL gives empty text and
    // sets isNull to true. Each column is read once per row: a long value is
    // read from the driver, which then has none of it left.
    std::string Text(int column, bool* isNull = nullptr);

private:
    struct Column {
        SQLLEN Width = 0; // bytes per value, the terminating NUL included
        std::unique_ptr<char[]> Values;
        std::unique_ptr<SQLLEN[]> Indicators;
    };
    void Bind(SQLULEN rowsPerFetch);
    void Unbind() noexcept;
    bool FetchRowset();
    std::string LongValue(int column, bool* isNull);

    TOdbcStatement& m_statement;
    SQLULEN m_rowsPerFetch = 0; // 0: one SQLFetch per row and SQLGetData per value
    std::vector<Column> m_columns;
    std::unique_ptr<SQLUSMALLINT[]> m_status;
    SQLULEN m_fetched = 0;
    SQLULEN m_row = 0;
    bool m_started = false;
    bool m_done = false;
    SQLULEN m_positionedRow = 0;
};
