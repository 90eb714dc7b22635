#pragma once

#include <cstdint>
#include <string>

// The session block of "PDASSEL".
class TZelPDASession {
public:
    int32_t SessionNumber = 0;
    std::string PluginName;
    std::string PluginVersion;
    std::string SessionName;

    std::string LogText() const;
};
