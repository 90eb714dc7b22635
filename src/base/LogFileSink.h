#pragma once

#include "base/Zel_EventLogger.h"

#include <functional>
#include <string>

// The log sink of the program: each text becomes one line "mmm-dd hh:nn:ss: text"
// appended to the file that logFileName() names at the time of the call (no
// file line while it is empty), and, when toStderr is set, the same line on
// stderr (headless mode). The sink never raises.
TZelLogger::Sink MakeLogFileSink(std::function<std::string()> logFileName, bool toStderr);
