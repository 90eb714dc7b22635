#pragma once

#include <string>

// Where the program keeps its files. A copy run from any folder but the
// installed one (a build folder) keeps everything beside the executable; the
// installed program, whose folder it cannot (or, as root, should not) write,
// keeps them in the user's configuration folder. "--config FILE" moves the
// configuration file, the default log file and the diagnostics marker beside
// FILE in either case.
struct TAppPaths {
    std::string ConfigFile; // <exe>.ini, <user folder>/<exe>.ini, or FILE
    std::string
        DefaultLogFile;     // <exe without extension>Log.txt, or <FILE's folder>/<FILE's base name>Log.txt
    std::string DiagMarker; // diag.dll in the executable's folder, or in FILE's folder
    // The configuration file's folder is made (for its owner only) when the
    // file is first created: true for the user's folder, which may not exist yet.
    bool CreateConfigFolder = false;
};

// What tells an installed program from any other copy, and where it keeps its files.
struct TInstallPlace {
    std::string BinDir;     // the install prefix's bin folder, compiled in ("/usr/bin")
    std::string UserFolder; // $XDG_CONFIG_HOME/ZelWireless, or ~/.config/ZelWireless
};

// The compiled-in bin folder and the running user's folder.
TInstallPlace CurrentInstallPlace();

// True when the executable sits in BinDir, also below a staging root (an
// installation unpacked into "/tmp/root" runs from "/tmp/root/usr/bin").
bool IsInstalledExecutable(const std::string& executablePath, const std::string& binDir);

// executablePath: full path of the running program; configFile: the argument
// of --config, empty when none was given (a relative name is taken from the
// current folder).
TAppPaths MakeAppPaths(const std::string& executablePath, const std::string& configFile = std::string(),
                       const TInstallPlace& place = CurrentInstallPlace());
