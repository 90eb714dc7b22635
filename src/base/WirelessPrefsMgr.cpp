#include "base/WirelessPrefsMgr.h"

#include <algorithm>

#include "base/AccessPolicy.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

TZel_WirelessPrefsMgr* g_PrefsMgr = nullptr;

namespace {

// The keys of the preferences, in the order they are written, with their defaults.
const char* const kSettings = "Settings";
const char* const kApplicationState = "ApplicationState";
const char* const kLogfilename = "Logfilename";
const char* const kVerbose = "Verbose";
const char* const kServerPort = "ServerPort";
const char* const kServerName = "ServerName";
const char* const kServerIPAddress = "Server IP Address";
const char* const kDisabledMessage = "DisabledMessage";
const char* const kMaxClients = "MaxClients";
const char* const kConnectionsPerDataSource = "ConnectionsPerDataSource";
const char* const kStatementTimeout = "StatementTimeout";
const char* const kDatabaseConnectionShare = "DatabaseConnectionShare";
const char* const kLastDataViewSessionNumber = "LastDataViewSessionNumber";

const char* const kDefaultVerbose = "N";
const int kDefaultServerPort = 4402;
const char* const kDefaultServerName = "Zel Wireless Server";
const char* const kDefaultDisabledMessage = "Wireless server is not currently enabled.";
const int kDefaultMaxClients = TServerSettings::DefaultMaxClients;

bool FileExists(const std::string& fileName) {
    std::error_code error;
    return !fileName.empty() && std::filesystem::exists(fileName, error);
}

// A port the server cannot listen on reads as the default, like a port that is no number.
int ReadServerPort(const TIniFile& ini) {
    const int port = ini.ReadInteger(kSettings, kServerPort, kDefaultServerPort);
    return (port < 1 || port > 65535) ? kDefaultServerPort : port;
}

// A limit that would refuse every handheld reads as the default.
int ReadMaxClients(const TIniFile& ini) {
    const int limit = ini.ReadInteger(kSettings, kMaxClients, kDefaultMaxClients);
    return limit < 1 ? kDefaultMaxClients : limit;
}

// Made before anything is written to it: it will hold data-source passwords.
void CreatePrivateFile(const std::string& fileName) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

// The user's folder for the program, and any missing folder above it, for
// their owner only, as the XDG base directory rules ask of ~/.config.
void CreatePrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const std::filesystem::path& part : folder.lexically_normal()) {
        partial /= part;
        if (part.empty() || partial == partial.root_path())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            throw Exception("Cannot create the folder [" + partial.string() + "]: " + std::strerror(errno));
    }
}

} // namespace

TZel_WirelessPrefsMgr::TZel_WirelessPrefsMgr(const TAppPaths& paths)
    : Diagnostics(FileExists(paths.DiagMarker)), m_paths(paths) {}

TZel_WirelessPrefsMgr::TZel_WirelessPrefsMgr()
    : TZel_WirelessPrefsMgr(MakeAppPaths(Platform::ExecutablePath())) {}

TZel_WirelessPrefsMgr::~TZel_WirelessPrefsMgr() = default;

// The first line of a new file is a time stamp, which readers ignore.
void TZel_WirelessPrefsMgr::CreateConfigFile() {
    if (m_paths.CreateConfigFolder)
        CreatePrivateFolders(std::filesystem::path(IniFilename).parent_path());
    CreatePrivateFile(IniFilename);
    AppendToFile(IniFilename, "", true);
    // A new installation approves new handhelds; a file from before device
    // access control has no [Access] section and keeps accepting them.
    if (FileExists(IniFilename)) {
        TIniFile ini(IniFilename);
        TAccessPolicy::WriteNewFileDefaults(ini);
    }
    LogInfo("Initializing config file [" + IniFilename + "]");
}

void TZel_WirelessPrefsMgr::OpenIniFile() {
    if (IniFilename.empty())
        throw Exception("TZel_WirelessPrefsMgr.OpenIniFile: IniFilename not specified, cannot continue");
    const std::lock_guard lock(m_iniLock);
    if (m_iniFile)
        return;
    std::string reason;
    if (!FileExists(IniFilename)) {
        try {
            CreateConfigFile();
        } catch (const std::exception& e) {
            reason = ExceptionText(e);
        }
    }
    if (FileExists(IniFilename)) {
        m_iniFile = std::make_unique<TIniFile>(IniFilename);
        return;
    }
    std::string message = "Cannot continue - could not write to ini file [" + IniFilename + "]";
    if (!reason.empty())
        message += "\n\n" + reason;
    Platform::ShowMessage(message);
    Platform::RequestQuit();
}

TIniFile* TZel_WirelessPrefsMgr::GetIniFile() {
    const std::lock_guard lock(m_iniLock);
    if (!m_iniFile)
        OpenIniFile();
    return m_iniFile.get();
}

void TZel_WirelessPrefsMgr::ReadSettings() {
    const bool wasVerbose = GetVerbose();
    const std::string chosenAddress = Server ? Server->IPAddress : std::string();

    if (!FileExists(IniFilename))
        CreateConfigFile();
    if (!FileExists(IniFilename)) {
        // Goes on with the defaults: the application ends at the next pass of its loop.
        Platform::ShowMessage("Cannot continue - could not write to configfile [" + IniFilename + "]");
        Platform::RequestQuit();
    }

    try {
        const TIniFile ini(IniFilename);
        LogFilename = ini.ReadString(kSettings, kLogfilename, m_paths.DefaultLogFile);
        if (LogFilename.empty())
            LogFilename = m_paths.DefaultLogFile; // a cleared name turns file logging back on
        SetVerbose(TextToBool(ini.ReadString(kSettings, kVerbose, kDefaultVerbose)));
        if (Server) {
            Server->Port = ReadServerPort(ini);
            Server->IPAddress = ini.ReadString(kSettings, kServerIPAddress, "");
            Server->ServerName = ini.ReadString(kSettings, kServerName, kDefaultServerName);
            Server->DisabledMessage = ini.ReadString(kSettings, kDisabledMessage, kDefaultDisabledMessage);
            Server->MaxClients = ReadMaxClients(ini);
            Server->ConnectionsPerDataSource =
                std::max(0, ini.ReadInteger(kSettings, kConnectionsPerDataSource, 0));
            Server->StatementTimeout = std::max(
                0, ini.ReadInteger(kSettings, kStatementTimeout, TServerSettings::DefaultStatementTimeout));
            Server->DatabaseConnectionShare =
                std::clamp(ini.ReadInteger(kSettings, kDatabaseConnectionShare,
                                           TServerSettings::DefaultDatabaseConnectionShare),
                           1, 100);
        }
        LastDataViewSessionNumber = ini.ReadInteger(kApplicationState, kLastDataViewSessionNumber, 0);
        if (Server && Server->IPAddress.empty())
            Server->IPAddress = chosenAddress;
    } catch (const std::exception& e) {
        const std::string message =
            "Failed reading .ini file [" + IniFilename + "]: " + ExceptionClassName(e) + ": " + e.what();
        LogInfo(message);
        Platform::ShowMessage(message);
    }

    WriteSettings();
    if (GetVerbose() != wasVerbose)
        LogInfo(GetVerbose() ? "Verbose logging enabled" : "Verbose logging disabled");
}

void TZel_WirelessPrefsMgr::WriteSettings() {
    if (!FileExists(IniFilename))
        return;
    try {
        // One replace of the file for the whole save.
        TIniFile::TBatch batch;
        batch.WriteString(kSettings, kLogfilename, LogFilename);
        batch.WriteString(kSettings, kVerbose, BoolToYN(GetVerbose()));
        if (Server) {
            batch.WriteInteger(kSettings, kServerPort, Server->Port);
            batch.WriteString(kSettings, kServerName, Server->ServerName);
            batch.WriteString(kSettings, kServerIPAddress, Server->IPAddress);
            batch.WriteString(kSettings, kDisabledMessage, Server->DisabledMessage);
            batch.WriteInteger(kSettings, kMaxClients, Server->MaxClients);
            batch.WriteInteger(kSettings, kConnectionsPerDataSource, Server->ConnectionsPerDataSource);
            batch.WriteInteger(kSettings, kStatementTimeout, Server->StatementTimeout);
            batch.WriteInteger(kSettings, kDatabaseConnectionShare, Server->DatabaseConnectionShare);
        }
        batch.WriteInteger(kApplicationState, kLastDataViewSessionNumber, LastDataViewSessionNumber);
        TIniFile(IniFilename).WriteBatch(batch);
    } catch (const std::exception& e) {
        const std::string message =
            "Failed writing .ini file [" + IniFilename + "]: " + ExceptionClassName(e) + ": " + e.what();
        LogInfo(message);
        Platform::ShowMessage(message);
    }
}
