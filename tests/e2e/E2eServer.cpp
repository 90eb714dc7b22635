#include "E2eServer.h"

#include <cstdio>

#include "support/Files.h"

namespace {

std::string Line(const std::string& key, const std::string& value) {
    return key + "=" + value + "\r\n";
}

} // namespace

std::string SettingsSection(int port, const std::string& serverName) {
    return "[Settings]\r\n" + Line("ServerPort", std::to_string(port)) +
           Line("Server IP Address", "127.0.0.1") + Line("ServerName", serverName);
}

std::string SessionSection(const TSessionDefinition& session) {
    char section[32];
    std::snprintf(section, sizeof section, "[Session%.2d]\r\n", session.Number);
    std::string text = section + Line("SessionName", session.Name) +
                       Line("Enabled", session.Enabled ? "1" : "0") + Line("DSN", session.Dsn) +
                       Line("Tablename", session.Table) + Line("Username", "") + Line("Password", "") +
                       Line("KeyFieldName", session.KeyField);
    for (size_t i = 0; i < 30; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "Field%.2d", static_cast<int>(i + 1));
        text += Line(key, i < session.Fields.size() ? session.Fields[i] : "");
    }
    return text;
}

TServerProcess::TServerProcess(const TTempFolder& folder, std::string program)
    : m_folder(folder), m_program(std::move(program)) {}

TServerProcess::~TServerProcess() {
    m_child.Kill();
}

bool TServerProcess::Start(const std::string& configFile, const TChildProcess::TEnvironment& environment) {
    static int serial = 0;
    m_outputFile = m_folder.File("server-" + std::to_string(++serial) + ".log");
    TChildProcess::TEnvironment merged = m_folder.PrivateEnvironment();
    for (const auto& [name, value] : environment)
        merged[name] = value;
    return m_child.Start({m_program, "--headless", "--config", configFile}, merged, m_outputFile) &&
           WaitForText(m_outputFile, "Server enabled on", 10000, &m_child);
}

int TServerProcess::Stop(int signal) {
    m_child.Signal(signal);
    const std::optional<int> exitCode = m_child.Wait(10000);
    m_child.Kill();
    return exitCode.value_or(-1);
}

std::string TServerProcess::Output() const {
    return ReadAll(m_outputFile);
}
