#include "E2eProcess.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/Files.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!overrides.count(text.substr(0, text.find('='))))
            entries.push_back(text);
    }
    for (const auto& [name, value] : overrides)
        entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

std::string ServerProgram() {
    return ZEL_BINARY_DIR "/ZelWireless";
}

std::string PdaProgram() {
    return ZEL_BINARY_DIR "/zel-pda";
}

TE2eFolder::TE2eFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zel-e2e-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern;
    fs::create_directories(m_path + "/run");
    fs::permissions(m_path + "/run", fs::perms::owner_all);
    fs::create_directories(m_path + "/config");
}

TE2eFolder::~TE2eFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::map<std::string, std::string> TE2eFolder::Environment() const {
    return {{"XDG_RUNTIME_DIR", m_path + "/run"}, {"XDG_CONFIG_HOME", m_path + "/config"}};
}

TChildProcess::~TChildProcess() {
    Kill();
}

void TChildProcess::Start(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& environment,
                          const std::string& stdoutFile, const std::string& stderrFile) {
    std::vector<std::string> argv = args;
    std::vector<std::string> envp = MergedEnvironment(environment);
    std::vector<char*> argPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(envp);
    m_exitCode = -1;
    m_pid = ::fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        const int out = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0)
            ::dup2(out, 1);
        if (err >= 0)
            ::dup2(err, 2);
        ::execve(argPointers[0], argPointers.data(), envPointers.data());
        ::_exit(127);
    }
}

bool TChildProcess::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == 0)
        return true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    return false;
}

bool TChildProcess::Wait(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void TChildProcess::Signal(int signal) {
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

void TChildProcess::Kill() {
    if (!Running())
        return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

TProgramRun RunProgram(const std::vector<std::string>& args, const TE2eFolder& folder, int timeoutMs) {
    static int serial = 0;
    const std::string base = folder.File("run-" + std::to_string(++serial));
    TChildProcess child;
    child.Start(args, folder.Environment(), base + ".out", base + ".err");
    TProgramRun run;
    if (child.Wait(timeoutMs))
        run.ExitCode = child.ExitCode();
    else
        child.Kill();
    run.Out = ReadAll(base + ".out");
    run.Err = ReadAll(base + ".err");
    return run;
}

bool WaitForText(const std::string& fileName, const std::string& text, TChildProcess& child, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ReadAll(fileName).find(text) != std::string::npos)
            return true;
        if (!child.Running() || Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
