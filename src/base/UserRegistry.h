#pragma once

#include <string>

// The current user's registry: a small store under the user's configuration
// folder. The autostart value of the Run key is backed by an XDG autostart
// entry, so the desktop really starts the program when it is set.
void WriteUserRegString(const std::string& keyPath, const std::string& valueName, const std::string& text);
std::string ReadUserRegString(const std::string& keyPath, const std::string& valueName);
