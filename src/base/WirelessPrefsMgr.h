#pragma once

#include "base/AppPaths.h"
#include "base/IniFile.h"
#include "base/ServerSettings.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Owns the configuration file and the application-wide settings in it: reads
// them once at start-up into the server and the logger, writes them back on
// request, and hands out the one shared configuration-file object.
class TZel_WirelessPrefsMgr {
public:
    // The paths give the default log file and the diagnostics marker, which is
    // looked for once, here.
    explicit TZel_WirelessPrefsMgr(const TAppPaths& paths);
    // Paths beside the running executable.
    TZel_WirelessPrefsMgr();
    ~TZel_WirelessPrefsMgr();
    TZel_WirelessPrefsMgr(const TZel_WirelessPrefsMgr&) = delete;
    TZel_WirelessPrefsMgr& operator=(const TZel_WirelessPrefsMgr&) = delete;

    // Creates the shared object, and the file with a time-stamp first line
    // when it is missing; when the file cannot be made, tells the operator and
    // asks the application to end. Raises when IniFilename is empty.
    void OpenIniFile();
    // The shared object, or nullptr when the file could not be opened.
    TIniFile* GetIniFile();
    void ReadSettings();
    // Writes every key of the preferences (only when the file exists).
    void WriteSettings();

    const TAppPaths& Paths() const { return m_paths; }

    std::string IniFilename;
    TServerSettings* Server = nullptr; // not owned; its keys are skipped while it is unset
    std::string LogFilename;
    bool Diagnostics = false;
    bool NetworkEncoding = true;
    int32_t LastDataViewSessionNumber = 0;

private:
    void CreateConfigFile();

    TAppPaths m_paths;
    // The window and the server's thread both ask for the shared object.
    std::recursive_mutex m_iniLock;
    std::unique_ptr<TIniFile> m_iniFile;
};

// Created by program initialisation and never freed; tests make their own.
extern TZel_WirelessPrefsMgr* g_PrefsMgr;
