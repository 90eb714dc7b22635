#pragma once

// The table cursor (being built).
class TZel_ODBCTable {
public:
    TZel_ODBCTable();
    ~TZel_ODBCTable();
};
