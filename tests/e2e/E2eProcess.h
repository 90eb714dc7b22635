#pragma once

#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempFolder.h"

// The real programs of the build folder, run as child processes with their
// output captured in files (in a TTempFolder whose PrivateEnvironment every
// child gets on top of the test's own, which carries ODBCINI and ODBCSYSINI).

std::string ServerProgram(); // build/ZelWireless
std::string PdaProgram();    // build/zel-pda

struct TProgramRun {
    int ExitCode = -1; // -1: killed after the time limit; 128 + the signal when one ended it
    std::string Out;
    std::string Err;
};

// Runs a program to its end (killed after timeoutMs).
TProgramRun RunProgram(const std::vector<std::string>& args, const TTempFolder& folder,
                       int timeoutMs = 20000);
