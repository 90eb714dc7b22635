#pragma once

#include <stdexcept>
#include <string>

// The plain failure class of the system. Subclasses name themselves through
// ClassName(), which is what ExceptionText and the "PCERR" texts show.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    virtual const char* ClassName() const { return "Exception"; }
    std::string Message() const { return what(); }
};
