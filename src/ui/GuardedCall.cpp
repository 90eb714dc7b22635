#include "ui/GuardedCall.h"

#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"

namespace {

ExceptionHandler& Handler() {
    static ExceptionHandler handler;
    return handler;
}

} // namespace

void SetExceptionHandler(ExceptionHandler handler) {
    Handler() = std::move(handler);
}

void HandleEscapedException(const std::exception& error) {
    try {
        if (Handler())
            Handler()(error);
        else
            LogError("Unhandled error: " + ExceptionText(error));
    } catch (...) {
        // The handler of last resort must not throw either.
    }
}
