// A second process for the fault tests.
//
//   zel_fault_helper ini-writer FILE
//       Rewrites FILE through TIniFile as fast as it can, for ever: a counter
//       and a scratch section that grows, shrinks and goes away, so that the
//       file changes size with every save. Meant to be killed mid-save.
//
//   zel_fault_helper sql DSN
//       Runs one statement per line of stdin on its own ODBC connection and
//       answers each with "ok" or "error <diagnostics>" on stdout. The lines
//       "!autocommit off", "!commit" and "!rollback" drive the transaction.
//       Ends at the end of its input, rolling back what is open.

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "base/IniFile.h"
#include "data/odbc/OdbcError.h"

namespace {

int IniWriter(const std::string& fileName) {
    TIniFile ini(fileName);
    for (int i = 0;; ++i) {
        ini.WriteInteger("Settings", "Counter", i);
        if (i % 40 == 39)
            ini.EraseSection("Scratch");
        else
            ini.WriteString("Scratch", "Key" + std::to_string(i % 40), std::string(size_t(i % 97), 'x'));
    }
}

// The driver's diagnostics on one line, as the data layer words them.
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    return OdbcErrorFrom(type, handle, "ODBC call").Message();
}

void Answer(const std::string& text) {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

int SqlShell(const std::string& dsn) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!SQL_SUCCEEDED(SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(const_cast<char*>(dsn.c_str())), SQL_NTS,
                                  nullptr, 0, nullptr, 0))) {
        Answer("error " + Diagnostics(SQL_HANDLE_DBC, dbc));
        return 2;
    }
    Answer("connected");
    std::string line;
    while (std::getline(std::cin, line)) {
        SQLRETURN rc = SQL_SUCCESS;
        SQLSMALLINT type = SQL_HANDLE_DBC;
        SQLHANDLE handle = dbc;
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        if (line == "!autocommit off")
            rc = SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                                   0);
        else if (line == "!commit")
            rc = SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
        else if (line == "!rollback")
            rc = SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
        else {
            SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
            type = SQL_HANDLE_STMT;
            handle = stmt;
            rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(line.data()), SQL_NTS);
        }
        const bool ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
        Answer(ok ? "ok" : "error " + Diagnostics(type, handle));
        if (stmt != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc == 3 && mode == "ini-writer")
        return IniWriter(argv[2]);
    if (argc == 3 && mode == "sql")
        return SqlShell(argv[2]);
    std::fprintf(stderr, "usage: zel_fault_helper ini-writer FILE | sql DSN\n");
    return 2;
}
