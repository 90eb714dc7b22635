#include "data/odbc/OdbcError.h"

#include <sqlext.h>

std::string CleanDiagnosticText(std::string text) {
    // unixODBC and the drivers prefix messages with bracketed origins
    // ("[unixODBC][Driver]"); the operator wants the message itself.
    while (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos)
            break;
        text.erase(0, close + 1);
    }
    // The message is shown on one line: the server's line breaks and the tabs
    // that indent its hints become single spaces.
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (!blank)
            clean += c;
        else if (!clean.empty() && clean.back() != ' ')
            clean += ' ';
    }
    while (!clean.empty() && (clean.back() == ' ' || clean.back() == ';'))
        clean.pop_back();
    return clean;
}

EDatabaseError OdbcErrorFrom(SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context) {
    std::string firstState;
    int firstNative = 0;
    std::string text;
    SQLCHAR state[6] = {0};
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH + 1];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1; i <= 4; ++i) {
        SQLRETURN rc = SQLGetDiagRec(handleType, handle, i, state, &native, message, sizeof message, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        std::string sqlState(reinterpret_cast<char*>(state));
        std::string part = CleanDiagnosticText(reinterpret_cast<char*>(message));
        if (i == 1) {
            firstState = sqlState;
            firstNative = native;
        }
        if (!text.empty())
            text += "; ";
        text += part + " (SQLSTATE " + sqlState + ")";
    }
    if (text.empty())
        text = context + " failed without a diagnostic record";
    return EDatabaseError(text, firstState, firstNative);
}

bool IsConnectionLostState(const std::string& sqlState) {
    if (sqlState.size() != 5)
        return false;
    return sqlState.compare(0, 2, "08") == 0 || sqlState == "57P01" || sqlState == "57P02" ||
           sqlState == "57P03" || sqlState == "HYT01";
}
