#pragma once

class TZel_ODBCTable;

// The link through which a data-aware view is bound to a session's table.
class TZel_DataSource {
public:
    explicit TZel_DataSource(TZel_ODBCTable* table = nullptr) : m_table(table) {}
    TZel_ODBCTable* DataSet() const { return m_table; }
    void SetDataSet(TZel_ODBCTable* table) { m_table = table; }

private:
    TZel_ODBCTable* m_table;
};
