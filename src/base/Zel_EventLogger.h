#pragma once

#include <functional>
#include <string>

// The process-wide logger: a verbose switch and two sinks. It formats and
// writes nothing itself.
class TZelLogger {
public:
    using Sink = std::function<void(const std::string&)>;

    // Raises "TZelLogger.Create: invoked from non-singleton interface!" when
    // an instance exists already; use GetLogger.
    TZelLogger();

    bool Verbose = false;
    Sink OnLogError;
    Sink OnLogMessage;
};

TZelLogger* GetLogger();
void SetVerbose(bool verbose);
bool GetVerbose();
void LogInfo(const std::string& text);
void LogError(const std::string& text);
void LogVerbose(const std::string& text); // " -- " + text, whatever Verbose says
void ResetLogFile(const std::string& fileName);
