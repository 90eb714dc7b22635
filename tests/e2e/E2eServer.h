#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "E2eProcess.h"

// The [Settings] section of a test configuration: loopback only, on port.
std::string SettingsSection(int port, const std::string& serverName = "E2E Server");

struct TSessionDefinition {
    int Number = 1;
    std::string Name;
    std::string Dsn;
    std::string Table;
    std::string KeyField;
    std::vector<std::string> Fields; // Field01, Field02, ...
    bool Enabled = true;
};

// A "Session%.2d" section as the session wizard writes it.
std::string SessionSection(const TSessionDefinition& session);

// The real server program, headless, on a configuration file of the test.
class TServerProcess {
public:
    explicit TServerProcess(const TTempFolder& folder, std::string program = ServerProgram());
    ~TServerProcess();
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;

    // Starts it and waits for "Server enabled on" in its output; false when
    // that does not appear in time (or the program ended first). The
    // environment entries are added to the folder's private ones.
    bool Start(const std::string& configFile, const TChildProcess::TEnvironment& environment = {});
    // Sends the signal and waits for the end: the exit code (128 + the signal
    // when one ended it), or -1 when it had to be killed.
    int Stop(int signal = SIGTERM);
    // What the program wrote to stderr so far.
    std::string Output() const;
    TChildProcess& Child() { return m_child; }

private:
    const TTempFolder& m_folder;
    std::string m_program;
    std::string m_outputFile;
    TChildProcess m_child;
};
