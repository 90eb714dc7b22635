#pragma once

class TOdbcConnection;

// A transaction on a connection for the length of a scope: it commits on
// Commit and rolls back when the scope is left by a failure.
class TOdbcTransaction {
public:
    // writing: the first statement takes the write lock (BeginWriteTransaction).
    explicit TOdbcTransaction(TOdbcConnection& connection, bool writing = false);
    ~TOdbcTransaction();
    TOdbcTransaction(const TOdbcTransaction&) = delete;
    TOdbcTransaction& operator=(const TOdbcTransaction&) = delete;

    void Commit();

private:
    TOdbcConnection& m_connection;
    bool m_done = false;
};
