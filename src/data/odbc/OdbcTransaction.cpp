#include "data/odbc/OdbcTransaction.h"

#include "data/odbc/OdbcConnection.h"

TOdbcTransaction::TOdbcTransaction(TOdbcConnection& connection, bool writing) : m_connection(connection) {
    if (writing)
        m_connection.BeginWriteTransaction();
    else
        m_connection.BeginTransaction();
}

TOdbcTransaction::~TOdbcTransaction() {
    if (!m_done)
        m_connection.Rollback();
}

void TOdbcTransaction::Commit() {
    m_done = true;
    m_connection.Commit();
}
