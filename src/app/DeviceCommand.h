#pragma once

#include <cstdio>
#include <string>
#include <vector>

// "--devices ACTION [ARGUMENT]" of the program: lists the device registry
// beside the configuration file or changes it, and exits. It opens no
// window and takes no single-instance lock, so it works beside a running
// server, which sees the change at its device's next request.
struct TDeviceCommand {
    std::string ConfigFile; // the configuration file in use
    std::string Action;     // list, allow, refuse, forget, accept-new
    std::vector<std::string> Arguments;
    bool ReadOnly = false;
    bool SessionsGiven = false;
    std::string Sessions;
};

// Prints what it did on out, a clear message on err; returns the exit code:
// 0 done, 1 the change failed (an unknown device, an unwritable registry),
// 2 a bad option.
int RunDeviceCommand(const TDeviceCommand& command, FILE* out, FILE* err);
