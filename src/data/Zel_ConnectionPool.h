#pragma once

// Shared data-source connections (being built).
class TZel_ConnectionPool {
public:
    TZel_ConnectionPool();
    ~TZel_ConnectionPool();
};
