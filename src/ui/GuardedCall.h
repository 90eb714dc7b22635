#pragma once

#include <exception>
#include <functional>
#include <stdexcept>
#include <utility>

// No exception may leave a Qt slot or event handler. Every handler of the
// operator interface runs its body through Guarded, which hands an escaping
// failure to the application-wide handler (by default: an error line in the
// log, no message box).
using ExceptionHandler = std::function<void(const std::exception& error)>;

void SetExceptionHandler(ExceptionHandler handler);
// The installed handler, or the default one.
void HandleEscapedException(const std::exception& error);

template <class Body> void Guarded(Body&& body) {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& error) {
        HandleEscapedException(error);
    } catch (...) {
        HandleEscapedException(std::runtime_error("unknown failure"));
    }
}
