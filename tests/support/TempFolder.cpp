#include "support/TempFolder.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

TTempFolder::TTempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zel-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    ::chmod(pattern.c_str(), 0755);
    m_path = pattern;
}

TTempFolder::~TTempFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::map<std::string, std::string> TTempFolder::PrivateEnvironment() const {
    fs::create_directories(m_path + "/run");
    fs::permissions(m_path + "/run", fs::perms::owner_all);
    fs::create_directories(m_path + "/config");
    return {{"XDG_RUNTIME_DIR", m_path + "/run"}, {"XDG_CONFIG_HOME", m_path + "/config"}};
}
