#include "base/LogFileSink.h"

#include "base/Zel_Lib.h"

#include <cstdio>

TZelLogger::Sink MakeLogFileSink(std::function<std::string()> logFileName, bool toStderr) {
    return [logFileName = std::move(logFileName), toStderr](const std::string& text) {
        try {
            const std::string fileName = logFileName ? logFileName() : std::string();
            if (!fileName.empty())
                AppendToFile(fileName, text, true);
            if (toStderr) {
                const std::string line = FormatLogTimeNow() + ": " + text + "\n";
                std::fwrite(line.data(), 1, line.size(), stderr);
                std::fflush(stderr);
            }
        } catch (...) {
            // A sink must not raise into the code that logs.
        }
    };
}
