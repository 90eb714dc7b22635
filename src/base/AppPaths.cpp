#include "base/AppPaths.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "base/Platform.h"

#ifndef ZEL_INSTALL_BINDIR
#define ZEL_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace {

// The name without its extension: "/a/ZelWireless.exe" -> "/a/ZelWireless".
std::string WithoutExtension(const std::filesystem::path& path) {
    return (path.parent_path() / path.stem()).string();
}

std::string FolderOf(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path().string() + "/" : std::string();
}

// "/usr//bin/" -> {"usr", "bin"}.
std::vector<std::string> PathParts(const std::filesystem::path& path) {
    std::vector<std::string> parts;
    for (const std::filesystem::path& part : path.lexically_normal().relative_path())
        if (!part.empty())
            parts.push_back(part.string());
    return parts;
}

} // namespace

TInstallPlace CurrentInstallPlace() {
    return {ZEL_INSTALL_BINDIR, Platform::UserConfigDir()};
}

// Decided by the folder's name, not by whether it can be written: root can
// write /usr/bin, and a build folder may be read-only. The staging root is
// allowed so that an unpacked package behaves as the installed one; a build
// folder never ends in the prefix's bin folder.
bool IsInstalledExecutable(const std::string& executablePath, const std::string& binDir) {
    const std::vector<std::string> folder = PathParts(std::filesystem::path(executablePath).parent_path());
    const std::vector<std::string> bin = PathParts(binDir);
    return !bin.empty() && folder.size() >= bin.size() &&
           std::equal(bin.rbegin(), bin.rend(), folder.rbegin());
}

TAppPaths MakeAppPaths(const std::string& executablePath, const std::string& configFile,
                       const TInstallPlace& place) {
    TAppPaths paths;
    if (configFile.empty()) {
        // Named after the executable, beside it or, installed, in the user's folder.
        std::filesystem::path named(executablePath);
        if (IsInstalledExecutable(executablePath, place.BinDir)) {
            named = std::filesystem::path(place.UserFolder) / named.filename();
            paths.CreateConfigFolder = true;
        }
        paths.ConfigFile = WithoutExtension(named) + ".ini";
        paths.DefaultLogFile = WithoutExtension(named) + "Log.txt";
        paths.DiagMarker = FolderOf(named) + "diag.dll";
        return paths;
    }
    // Absolute, so that the names stay right whatever the current folder becomes later.
    const std::filesystem::path config = std::filesystem::absolute(configFile).lexically_normal();
    paths.ConfigFile = config.string();
    paths.DefaultLogFile = WithoutExtension(config) + "Log.txt";
    paths.DiagMarker = FolderOf(config) + "diag.dll";
    return paths;
}
