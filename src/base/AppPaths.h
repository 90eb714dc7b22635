#pragma once

#include <string>

// Where the program keeps its files. By default everything sits beside the
// executable; "--config FILE" moves the configuration file, the default log
// file and the diagnostics marker beside FILE.
struct TAppPaths {
    std::string ConfigFile; // <exe>.ini, or FILE
    std::string
        DefaultLogFile;     // <exe without extension>Log.txt, or <FILE's folder>/<FILE's base name>Log.txt
    std::string DiagMarker; // diag.dll in the executable's folder, or in FILE's folder
};

// executablePath: full path of the running program; configFile: the argument
// of --config, empty when none was given (a relative name is taken from the
// current folder).
TAppPaths MakeAppPaths(const std::string& executablePath, const std::string& configFile = std::string());
