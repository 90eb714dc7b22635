#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// The real programs of the build folder, run as child processes with their
// output captured in files. Every wait has a time limit; a child still
// running when its object goes is killed.

std::string ServerProgram(); // build/ZelWireless
std::string PdaProgram();    // build/zel-pda

// A temporary folder that the test removes when it ends, with the private
// folders a child needs (runtime folder for the single-instance lock,
// configuration home for the per-user store), so that tests never meet a
// copy the user runs, nor each other.
class TE2eFolder {
public:
    TE2eFolder();
    ~TE2eFolder();
    TE2eFolder(const TE2eFolder&) = delete;
    TE2eFolder& operator=(const TE2eFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    // Variables every child gets on top of the test's own environment
    // (which carries ODBCINI and ODBCSYSINI).
    std::map<std::string, std::string> Environment() const;

private:
    std::string m_path;
};

class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts the program with stdout and stderr appended to the files.
    void Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
               const std::string& stdoutFile, const std::string& stderrFile);
    bool Running();
    // Waits for the end; false when it did not end in time.
    bool Wait(int timeoutMs);
    void Signal(int signal);
    void Kill();
    // The exit code, or -1 when it ended by a signal or has not ended.
    int ExitCode() const { return m_exitCode; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_exitCode = -1;
};

struct TProgramRun {
    int ExitCode = -1; // -1: killed after the time limit, or ended by a signal
    std::string Out;
    std::string Err;
};

// Runs a program to its end (killed after timeoutMs).
TProgramRun RunProgram(const std::vector<std::string>& args, const TE2eFolder& folder, int timeoutMs = 20000);

// Waits until the file contains the text; false after timeoutMs, or at once
// when the child has ended.
bool WaitForText(const std::string& fileName, const std::string& text, TChildProcess& child,
                 int timeoutMs = 10000);
