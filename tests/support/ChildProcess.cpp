#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/Files.h"

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(const TChildProcess::TEnvironment& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!overrides.count(text.substr(0, text.find('='))))
            merged.push_back(text);
    }
    for (const auto& [name, value] : overrides)
        merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

TChildProcess::~TChildProcess() {
    CloseInput();
    Kill();
}

bool TChildProcess::Start(const std::vector<std::string>& argv, const TEnvironment& environment,
                          const std::string& outputFile, const std::string& errorFile) {
    return Spawn(argv, environment, outputFile, errorFile, false);
}

bool TChildProcess::StartWithInput(const std::vector<std::string>& argv, const TEnvironment& environment,
                                   const std::string& outputFile) {
    return Spawn(argv, environment, outputFile, std::string(), true);
}

bool TChildProcess::Spawn(const std::vector<std::string>& argv, const TEnvironment& environment,
                          const std::string& outputFile, const std::string& errorFile, bool pipeInput) {
    Kill();
    CloseInput();
    m_exitCode.reset();
    std::vector<std::string> args = argv;
    std::vector<std::string> merged = MergedEnvironment(environment);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(merged);

    int input[2] = {-1, -1};
    if (pipeInput && ::pipe2(input, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipeInput)
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int flags = O_WRONLY | O_CREAT | O_APPEND;
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), flags, 0644);
    if (errorFile.empty())
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), flags, 0644);
    // Sockets and database connections of the test stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const int result = ::posix_spawnp(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipeInput) {
        ::close(input[0]);
        m_input = input[1];
    }
    if (result != 0) {
        m_pid = -1;
        CloseInput();
        return false;
    }
    return true;
}

bool TChildProcess::WriteInput(const std::string& text) {
    size_t done = 0;
    while (m_input >= 0 && done < text.size()) {
        const ssize_t written = ::write(m_input, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += size_t(written);
    }
    return m_input >= 0;
}

void TChildProcess::CloseInput() {
    if (m_input >= 0)
        ::close(m_input);
    m_input = -1;
}

void TChildProcess::Signal(int signal) {
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

void TChildProcess::Kill() {
    Signal(SIGKILL);
    Reap(true);
}

void TChildProcess::Reap(bool block) {
    if (m_pid <= 0)
        return;
    int status = 0;
    pid_t done;
    do
        done = ::waitpid(m_pid, &status, block ? 0 : WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done == 0)
        return;
    if (done == m_pid)
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_pid = -1;
}

std::optional<int> TChildProcess::Wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_exitCode;
}

bool TChildProcess::Running() {
    Reap(false);
    return m_pid > 0;
}

bool WaitForText(const std::string& fileName, const std::string& text, int timeoutMs, TChildProcess* child,
                 int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (CountText(fileName, text) < count) {
        if (std::chrono::steady_clock::now() >= deadline || (child && !child->Running()))
            return CountText(fileName, text) >= count;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
