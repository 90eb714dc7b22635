#pragma once

#include "data/odbc/DatabaseError.h"

#include <sql.h>
#include <string>

// Builds the data layer's failure from the diagnostic records of a handle:
// "<driver message> (SQLSTATE xxxxx)", several records joined with "; ".
EDatabaseError OdbcErrorFrom(SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context);

// A driver's diagnostic message as the operator reads it: without the
// bracketed origins in front, on one line, every run of spaces, tabs and line
// breaks made one space, without a closing ";".
std::string CleanDiagnosticText(std::string text);

// True for SQLSTATEs that mean the link to the server is gone (class 08, and
// the server-side terminations that drivers pass through).
bool IsConnectionLostState(const std::string& sqlState);
