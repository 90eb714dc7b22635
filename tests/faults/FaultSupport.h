#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Shared pieces of the fault tests: child processes, a scratch folder, and
// the data-request payloads a handheld sends.

enum class TestDriver;
// Test names show the driver, not its bytes.
void PrintTo(TestDriver driver, std::ostream* os);

// A child process started with posix_spawn: stdout and stderr go to a file,
// stdin optionally comes from a pipe, no other descriptor of the test is
// inherited. The destructor kills and reaps a child that still runs.
class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // env entries "NAME=value" replace or add to the test's own environment.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& outputFile, bool pipeInput = false);
    bool WriteInput(const std::string& text);
    void CloseInput();
    void Signal(int signal);
    // The exit code, or 128 + the signal that ended it; nothing when it still
    // runs after timeoutMs.
    std::optional<int> Wait(int timeoutMs);
    bool Running();
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_input = -1;
};

// A fresh folder under the temporary folder (mode 0755), removed with everything in it.
class TScratchFolder {
public:
    TScratchFolder();
    ~TScratchFolder();
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Polls until the file holds text count times; false after timeoutMs, or as
// soon as child (when given) has ended.
bool WaitForText(const std::string& fileName, const std::string& text, int timeoutMs = 10000,
                 TChildProcess* child = nullptr, int count = 1);
// Occurrences of text in the file.
int CountText(const std::string& fileName, const std::string& text);

// Payloads of the data requests: a row window and "SF" items for select;
// "WK"/"WF" items (field number, value) for post.
std::string SelectPayload(int startRow, int endRow, const std::vector<int>& selectFields,
                          const std::vector<std::pair<int, std::string>>& where = {});
std::string PostPayload(const std::vector<std::pair<int, std::string>>& values);
// The rows of a "PCDATA" payload: row number -> values in reply order; empty
// optional when the payload does not parse.
std::optional<std::map<int, std::vector<std::string>>> ParseDataRows(const std::string& payload);
