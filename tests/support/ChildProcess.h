#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// A program of the build run as a child process with posix_spawn: its output
// goes to files, stdin comes from /dev/null or a pipe of the test, and no
// other descriptor of the test (sockets, database connections) is inherited.
// The destructor kills and reaps a child that still runs.
class TChildProcess {
public:
    using TEnvironment = std::map<std::string, std::string>;

    TChildProcess() = default;
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up in PATH). The environment
    // entries replace or add to the test's own. stdout is appended to
    // outputFile, stderr to errorFile, or to outputFile too when errorFile is
    // empty. False when it cannot be started.
    bool Start(const std::vector<std::string>& argv, const TEnvironment& environment,
               const std::string& outputFile, const std::string& errorFile = std::string());
    // The same with the child's stdin fed by WriteInput and ended by CloseInput.
    bool StartWithInput(const std::vector<std::string>& argv, const TEnvironment& environment,
                        const std::string& outputFile);
    bool WriteInput(const std::string& text);
    void CloseInput();

    void Signal(int signal);
    // Sends SIGKILL and reaps the child.
    void Kill();
    // The exit code, or 128 + the signal that ended it; nothing when it still
    // runs after timeoutMs (or was never started).
    std::optional<int> Wait(int timeoutMs);
    bool Running();

private:
    bool Spawn(const std::vector<std::string>& argv, const TEnvironment& environment,
               const std::string& outputFile, const std::string& errorFile, bool pipeInput);
    // Reaps the child if it has ended, keeping its exit code.
    void Reap(bool block);

    pid_t m_pid = -1;
    int m_input = -1;
    std::optional<int> m_exitCode;
};

// Polls until the file holds text count times; false after timeoutMs, or as
// soon as child (when given) has ended without it.
bool WaitForText(const std::string& fileName, const std::string& text, int timeoutMs = 10000,
                 TChildProcess* child = nullptr, int count = 1);
