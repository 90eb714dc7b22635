#include "base/AppPaths.h"

#include <filesystem>

namespace {

// The name without its extension: "/a/ZelWireless.exe" -> "/a/ZelWireless".
std::string WithoutExtension(const std::filesystem::path& path) {
    return (path.parent_path() / path.stem()).string();
}

std::string FolderOf(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path().string() + "/" : std::string();
}

} // namespace

TAppPaths MakeAppPaths(const std::string& executablePath, const std::string& configFile) {
    TAppPaths paths;
    if (configFile.empty()) {
        const std::filesystem::path exe(executablePath);
        paths.ConfigFile = WithoutExtension(exe) + ".ini";
        paths.DefaultLogFile = WithoutExtension(exe) + "Log.txt";
        paths.DiagMarker = FolderOf(exe) + "diag.dll";
        return paths;
    }
    // Absolute, so that the names stay right whatever the current folder becomes later.
    const std::filesystem::path config = std::filesystem::absolute(configFile).lexically_normal();
    paths.ConfigFile = config.string();
    paths.DefaultLogFile = WithoutExtension(config) + "Log.txt";
    paths.DiagMarker = FolderOf(config) + "diag.dll";
    return paths;
}
