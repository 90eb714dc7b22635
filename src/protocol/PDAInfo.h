#pragma once

#include <string>

// The handheld's identity from "PDAHELO" and "PDALOGIN".
class TZelPDAInfo {
public:
    std::string SWVersion;
    std::string UserName;
    std::string SerialNumber;
    std::string Model;
    std::string OperatingSystem;
    std::string Software;

    std::string LogText() const;
};
