#pragma once

#include "base/Exception.h"

#include <string>

// The data layer's failure: every ODBC error, the filter language's
// rejections and the value conversions raise it. Its message is what the
// handheld and the operator see, so it reads "<driver message> (SQLSTATE xxxxx)"
// for driver errors.
class EDatabaseError : public Exception {
public:
    explicit EDatabaseError(const std::string& message, std::string sqlState = std::string(),
                            int nativeError = 0)
        : Exception(message), m_sqlState(std::move(sqlState)), m_nativeError(nativeError) {}
    const char* ClassName() const override { return "EDatabaseError"; }

    // Five-character SQLSTATE of the first diagnostic record, empty when the
    // failure did not come from the driver.
    const std::string& SQLState() const { return m_sqlState; }
    int NativeError() const { return m_nativeError; }

private:
    std::string m_sqlState;
    int m_nativeError;
};
