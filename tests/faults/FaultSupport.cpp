#include "FaultSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/Files.h"
#include "support/OdbcTestEnv.h"

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& o : overrides)
            replaced = replaced || nameOf(o) == nameOf(text);
        if (!replaced)
            merged.push_back(text);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
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

void PrintTo(TestDriver driver, std::ostream* os) {
    *os << TestDriverName(driver);
}

TChildProcess::~TChildProcess() {
    CloseInput();
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool TChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::string& outputFile, bool pipeInput) {
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = MergedEnvironment(env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(environment);

    int input[2] = {-1, -1};
    if (pipeInput && ::pipe2(input, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipeInput)
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
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

std::optional<int> TChildProcess::Wait(int timeoutMs) {
    if (m_pid <= 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool TChildProcess::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid)
        return true;
    m_pid = -1;
    return false;
}

TScratchFolder::TScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zel-faults-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch folder");
    ::chmod(pattern.c_str(), 0755);
    m_path = pattern;
}

TScratchFolder::~TScratchFolder() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
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

int CountText(const std::string& fileName, const std::string& text) {
    if (!std::filesystem::exists(fileName))
        return 0;
    const std::string content = ReadAll(fileName);
    int count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1))
        ++count;
    return count;
}

namespace {

std::string Digits(long value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*ld", width, value);
    return text;
}

std::string WhereItems(const std::vector<std::pair<int, std::string>>& values) {
    std::string items;
    for (const auto& [field, value] : values)
        items += (field == 0 ? "WK" : "WF") + Digits(field, 3) + Digits(long(value.size()), 8) + value;
    return items;
}

} // namespace

std::string SelectPayload(int startRow, int endRow, const std::vector<int>& selectFields,
                          const std::vector<std::pair<int, std::string>>& where) {
    std::string payload = Digits(startRow, 8) + Digits(endRow, 8);
    for (int field : selectFields)
        payload += "SF" + Digits(field, 3);
    return payload + WhereItems(where);
}

std::string PostPayload(const std::vector<std::pair<int, std::string>>& values) {
    return WhereItems(values);
}

std::optional<std::map<int, std::vector<std::string>>> ParseDataRows(const std::string& payload) {
    std::map<int, std::vector<std::string>> rows;
    std::vector<std::string>* row = nullptr;
    size_t at = 0;
    auto number = [&](size_t width) -> std::optional<long> {
        if (at + width > payload.size())
            return std::nullopt;
        const std::string text = payload.substr(at, width);
        at += width;
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        return *end == '\0' ? std::optional<long>(value) : std::nullopt;
    };
    while (at < payload.size()) {
        const std::string tag = payload.substr(at, 2);
        at += 2;
        if (tag == "RD") {
            const auto rowNumber = number(8);
            if (!rowNumber)
                return std::nullopt;
            row = &rows[int(*rowNumber)];
        } else if ((tag == "RK" || tag == "RF") && row) {
            const auto field = number(3);
            const auto length = number(8);
            if (!field || !length || at + size_t(*length) > payload.size())
                return std::nullopt;
            row->push_back(payload.substr(at, size_t(*length)));
            at += size_t(*length);
        } else {
            return std::nullopt;
        }
    }
    return rows;
}
