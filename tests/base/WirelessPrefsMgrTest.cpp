#include "base/WirelessPrefsMgr.h"
#include "base/AppPaths.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Zel_EventLogger.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Files.h"

namespace {

// A preferences manager for an executable "ZelWireless" in a fresh folder, with
// the message boxes, quit requests and log lines captured.
class PrefsMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        Platform::SetMessageHook([this](const std::string& text) { messages.push_back(text); });
        Platform::SetQuitHook([this] { ++quitRequests; });
        GetLogger()->OnLogMessage = [this](const std::string& text) { log.push_back(text); };
        SetVerbose(false);
        server.IPAddress = "192.168.1.20"; // what the server picked at its creation
    }
    void TearDown() override {
        Platform::SetMessageHook(nullptr);
        Platform::SetQuitHook(nullptr);
        GetLogger()->OnLogMessage = nullptr;
        SetVerbose(false);
    }

    std::string Path(const std::string& name) const {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    std::unique_ptr<TZel_WirelessPrefsMgr> MakePrefs(const std::string& configFile = std::string()) {
        auto prefs = std::make_unique<TZel_WirelessPrefsMgr>(MakeAppPaths(Path("ZelWireless"), configFile));
        prefs->IniFilename = prefs->Paths().ConfigFile;
        prefs->Server = &server;
        return prefs;
    }

    // Runs ReadSettings over a file that holds the given "Settings" lines.
    std::unique_ptr<TZel_WirelessPrefsMgr> ReadWith(const std::string& settingsLines) {
        WriteAll(Path("ZelWireless.ini"), "Mar-07 14:05:09: \r\n[Settings]\r\n" + settingsLines);
        auto prefs = MakePrefs();
        prefs->ReadSettings();
        return prefs;
    }

    std::string Stored(const std::string& key) const {
        return TIniFile(Path("ZelWireless.ini")).ReadString("Settings", key, "<missing>");
    }

    QTemporaryDir dir;
    TServerSettings server;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    int quitRequests = 0;
};

TEST_F(PrefsMgrTest, FirstStartInAnEmptyFolderWritesEveryKeyInOrder) {
    auto prefs = MakePrefs();
    prefs->ReadSettings();

    const std::string logFile = Path("ZelWirelessLog.txt");
    const std::regex expected("[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d: \r\n"
                              "\\[Access\\]\r\n"
                              "NewDevices=approve\r\n"
                              "TrustedNetworks=127\\.0\\.0\\.0/8\r\n"
                              "AllowedNetworks=\r\n"
                              "\\[Settings\\]\r\n"
                              "Logfilename=" +
                              logFile +
                              "\r\n"
                              "Verbose=N\r\n"
                              "ServerPort=4402\r\n"
                              "ServerName=Zel Wireless Server\r\n"
                              "Server IP Address=192\\.168\\.1\\.20\r\n"
                              "DisabledMessage=Wireless server is not currently enabled\\.\r\n"
                              "MaxClients=1000\r\n"
                              "ConnectionsPerDataSource=0\r\n"
                              "StatementTimeout=30\r\n"
                              "DatabaseConnectionShare=25\r\n"
                              "\\[ApplicationState\\]\r\n"
                              "LastDataViewSessionNumber=0\r\n");
    const std::string content = ReadAll(Path("ZelWireless.ini"));
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
    EXPECT_EQ(prefs->LogFilename, logFile);
    EXPECT_EQ(server.Port, 4402);
    EXPECT_EQ(server.IPAddress, "192.168.1.20");
    EXPECT_EQ(server.MaxClients, 1000);
    EXPECT_EQ(log, std::vector<std::string>{"Initializing config file [" + Path("ZelWireless.ini") + "]"});
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(quitRequests, 0);
    struct stat info {};
    ASSERT_EQ(::stat(Path("ZelWireless.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "it will hold data-source passwords";
}

TEST_F(PrefsMgrTest, StoredSettingsReachTheServerAndSurviveARoundTrip) {
    auto prefs =
        ReadWith("Logfilename=/var/log/zel.txt\r\nVerbose=Y\r\nServerPort=5001\r\nServerName=Depot\r\n"
                 "Server IP Address=10.0.0.7\r\nDisabledMessage=Closed for stock-taking\r\nMaxClients=20\r\n"
                 "[ApplicationState]\r\nLastDataViewSessionNumber=7\r\n");
    EXPECT_EQ(prefs->LogFilename, "/var/log/zel.txt");
    EXPECT_TRUE(GetVerbose());
    EXPECT_EQ(server.Port, 5001);
    EXPECT_EQ(server.ServerName, "Depot");
    EXPECT_EQ(server.IPAddress, "10.0.0.7");
    EXPECT_EQ(server.DisabledMessage, "Closed for stock-taking");
    EXPECT_EQ(server.MaxClients, 20);
    EXPECT_EQ(prefs->LastDataViewSessionNumber, 7);
    EXPECT_EQ(log, std::vector<std::string>{"Verbose logging enabled"});

    server.Port = 6000;
    SetVerbose(false);
    prefs->WriteSettings();
    EXPECT_EQ(Stored("ServerPort"), "6000");
    EXPECT_EQ(Stored("Verbose"), "N");
    EXPECT_EQ(
        TIniFile(Path("ZelWireless.ini")).ReadInteger("ApplicationState", "LastDataViewSessionNumber", 0), 7);
}

TEST_F(PrefsMgrTest, VerboseIsTrueOnlyForTheExactTexts) {
    struct Case {
        const char* stored;
        bool verbose;
    };
    const Case cases[] = {{"Y", true},    {"1", true},     {"True", true}, {"TRUE", true},
                          {"yes", false}, {"true", false}, {"y", false},   {"N", false}};
    for (const Case& c : cases) {
        SetVerbose(false);
        ReadWith(std::string("Verbose=") + c.stored + "\r\n");
        EXPECT_EQ(GetVerbose(), c.verbose) << c.stored;
        EXPECT_EQ(Stored("Verbose"), c.verbose ? "Y" : "N") << c.stored;
    }
}

TEST_F(PrefsMgrTest, AServerPortThatIsNoUsablePortReadsAsTheDefault) {
    for (const char* stored : {"abc", "", "70000", "-1", "0", "65536"}) {
        server.Port = 1;
        ReadWith(std::string("ServerPort=") + stored + "\r\n");
        EXPECT_EQ(server.Port, 4402) << stored;
        EXPECT_EQ(Stored("ServerPort"), "4402") << stored;
    }
    for (const char* stored : {"1", "65535"}) {
        ReadWith(std::string("ServerPort=") + stored + "\r\n");
        EXPECT_EQ(std::to_string(server.Port), stored);
    }
}

TEST_F(PrefsMgrTest, AClientLimitThatWouldRefuseEveryoneReadsAsTheDefault) {
    for (const char* stored : {"0", "-5", "many"}) {
        server.MaxClients = 3;
        ReadWith(std::string("MaxClients=") + stored + "\r\n");
        EXPECT_EQ(server.MaxClients, 1000) << stored;
        EXPECT_EQ(Stored("MaxClients"), "1000") << stored;
    }
}

// Defaults read from a file that is there but cannot be read would hide the
// fault from the operator.
TEST_F(PrefsMgrTest, AnUnreadableFileIsReportedNotReadAsTheDefaults) {
    WriteAll(Path("ZelWireless.ini"), "[Settings]\r\nServerPort=5001\r\n");
    ::chmod(Path("ZelWireless.ini").c_str(), 0200);
    ::chmod(dir.path().toLocal8Bit().constData(), 0755);
    const auto child = [&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(3);
        MakePrefs()->ReadSettings();
        const std::string expected = "Failed reading .ini file [" + Path("ZelWireless.ini") +
                                     "]: Exception: TIniFile: cannot read file [" + Path("ZelWireless.ini") +
                                     "]: Permission denied";
        const bool shown = !messages.empty() && messages[0] == expected;
        const bool logged = std::find(log.begin(), log.end(), expected) != log.end();
        _exit(shown && logged ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
    ::chmod(Path("ZelWireless.ini").c_str(), 0600);
}

TEST_F(PrefsMgrTest, AnEmptyLogFileNameReadsAsTheDefault) {
    auto prefs = ReadWith("Logfilename=\r\n");
    EXPECT_EQ(prefs->LogFilename, Path("ZelWirelessLog.txt"));
    EXPECT_EQ(Stored("Logfilename"), Path("ZelWirelessLog.txt"));
}

TEST_F(PrefsMgrTest, AnEmptyServerAddressKeepsTheServersOwnAddress) {
    ReadWith("Server IP Address=\r\n");
    EXPECT_EQ(server.IPAddress, "192.168.1.20");
    EXPECT_EQ(Stored("Server IP Address"), "192.168.1.20");

    server.IPAddress.clear(); // a server that found no interface
    ReadWith("Server IP Address=\r\n");
    EXPECT_EQ(Stored("Server IP Address"), "");
}

TEST_F(PrefsMgrTest, AFailedWriteIsLoggedAndShown) {
    auto prefs = ReadWith("");
    log.clear();
    server.DisabledMessage = "two\nlines";
    prefs->WriteSettings();
    const std::string expected = "Failed writing .ini file [" + Path("ZelWireless.ini") +
                                 "]: Exception: TIniFile: a value cannot hold a line break [DisabledMessage]";
    EXPECT_EQ(log, std::vector<std::string>{expected});
    EXPECT_EQ(messages, std::vector<std::string>{expected});
    EXPECT_EQ(Stored("DisabledMessage"), "Wireless server is not currently enabled.");
}

TEST_F(PrefsMgrTest, WriteSettingsWithoutAFileCreatesNone) {
    auto prefs = MakePrefs();
    prefs->WriteSettings();
    EXPECT_FALSE(std::filesystem::exists(Path("ZelWireless.ini")));
    EXPECT_TRUE(messages.empty());
}

TEST_F(PrefsMgrTest, SharedObjectIsCreatedOnDemandWithATimeStampedFile) {
    auto prefs = MakePrefs();
    TIniFile* shared = prefs->GetIniFile();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(prefs->GetIniFile(), shared);
    EXPECT_TRUE(std::regex_match(ReadAll(Path("ZelWireless.ini")),
                                 std::regex("[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d: \r\n"
                                            "\\[Access\\]\r\nNewDevices=approve\r\n[\\s\\S]*")));
    prefs->ReadSettings();
    EXPECT_EQ(shared->ReadInteger("Settings", "ServerPort", 0), 4402)
        << "sees the short-lived object's writes";
}

TEST_F(PrefsMgrTest, AFileThatCannotBeCreatedEndsTheApplication) {
    auto prefs = MakePrefs();
    prefs->IniFilename = Path("missing/ZelWireless.ini");
    EXPECT_EQ(prefs->GetIniFile(), nullptr);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("AppendToFile: Error: " + prefs->IniFilename + ": ", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1], "Cannot continue - could not write to ini file [" + prefs->IniFilename + "]");
    EXPECT_EQ(quitRequests, 1);

    messages.clear();
    server.Port = 1;
    prefs->ReadSettings();
    EXPECT_EQ(messages.back(),
              "Cannot continue - could not write to configfile [" + prefs->IniFilename + "]");
    EXPECT_EQ(quitRequests, 2);
    EXPECT_EQ(server.Port, 4402) << "the defaults still apply";
    EXPECT_FALSE(std::filesystem::exists(prefs->IniFilename));
}

TEST_F(PrefsMgrTest, OpenWithoutAFileNameRaises) {
    TZel_WirelessPrefsMgr prefs(MakeAppPaths(Path("ZelWireless")));
    try {
        prefs.OpenIniFile();
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "TZel_WirelessPrefsMgr.OpenIniFile: IniFilename not specified, cannot continue");
    }
}

TEST_F(PrefsMgrTest, DiagnosticsComeFromAMarkerPresentAtCreation) {
    EXPECT_FALSE(MakePrefs()->Diagnostics);
    auto before = MakePrefs();
    WriteAll(Path("diag.dll"), "");
    EXPECT_FALSE(before->Diagnostics) << "a marker made after creation changes nothing";
    EXPECT_TRUE(MakePrefs()->Diagnostics);
    EXPECT_TRUE(MakePrefs()->NetworkEncoding);
}

TEST_F(PrefsMgrTest, ConfigOptionMovesTheLogDefaultAndTheDiagMarker) {
    std::filesystem::create_directory(Path("site"));
    WriteAll(Path("site/diag.dll"), "");
    auto prefs = MakePrefs(Path("site/depot.conf"));
    EXPECT_TRUE(prefs->Diagnostics);
    prefs->ReadSettings();
    EXPECT_EQ(prefs->LogFilename, Path("site/depotLog.txt"));
    EXPECT_EQ(TIniFile(Path("site/depot.conf")).ReadString("Settings", "Logfilename", ""),
              Path("site/depotLog.txt"));
    EXPECT_FALSE(std::filesystem::exists(Path("ZelWireless.ini")));
}

TEST(AppPathsTest, NamesBesideTheExecutableOrTheConfigFile) {
    struct Case {
        const char* exe;
        const char* config;
        TAppPaths expected;
    };
    const std::string cwd = std::filesystem::current_path().string();
    const Case cases[] = {
        {"/opt/zel/ZelWireless",
         "",
         {"/opt/zel/ZelWireless.ini", "/opt/zel/ZelWirelessLog.txt", "/opt/zel/diag.dll"}},
        {"/opt/zel/ZelWireless.exe",
         "",
         {"/opt/zel/ZelWireless.ini", "/opt/zel/ZelWirelessLog.txt", "/opt/zel/diag.dll"}},
        {"/opt/zel.d/Zel", "", {"/opt/zel.d/Zel.ini", "/opt/zel.d/ZelLog.txt", "/opt/zel.d/diag.dll"}},
        {"/opt/zel/ZelWireless",
         "/etc/zel/depot.ini",
         {"/etc/zel/depot.ini", "/etc/zel/depotLog.txt", "/etc/zel/diag.dll"}},
        {"/opt/zel/ZelWireless",
         "/etc/zel/site",
         {"/etc/zel/site", "/etc/zel/siteLog.txt", "/etc/zel/diag.dll"}},
        {"/opt/zel/ZelWireless",
         "conf/../depot.ini",
         {cwd + "/depot.ini", cwd + "/depotLog.txt", cwd + "/diag.dll"}},
    };
    for (const Case& c : cases) {
        const TAppPaths paths = MakeAppPaths(c.exe, c.config);
        EXPECT_EQ(paths.ConfigFile, c.expected.ConfigFile) << c.exe << " " << c.config;
        EXPECT_EQ(paths.DefaultLogFile, c.expected.DefaultLogFile) << c.exe << " " << c.config;
        EXPECT_EQ(paths.DiagMarker, c.expected.DiagMarker) << c.exe << " " << c.config;
    }
}

// A fake prefix: the decision must come from the folder's name alone.
TEST(AppPathsTest, AnInstalledProgramKeepsItsFilesInTheUserFolder) {
    const TInstallPlace place{"/opt/zel/bin", "/home/ann/.config/ZelWireless"};
    const TAppPaths inUserFolder{"/home/ann/.config/ZelWireless/ZelWireless.ini",
                                 "/home/ann/.config/ZelWireless/ZelWirelessLog.txt",
                                 "/home/ann/.config/ZelWireless/diag.dll", true};
    struct Case {
        const char* exe;
        const char* config;
        TAppPaths expected;
    };
    const Case cases[] = {
        {"/opt/zel/bin/ZelWireless", "", inUserFolder},
        {"/tmp/root/opt/zel/bin/ZelWireless", "", inUserFolder}, // unpacked below a staging root
        {"/work/build/ZelWireless",
         "",
         {"/work/build/ZelWireless.ini", "/work/build/ZelWirelessLog.txt", "/work/build/diag.dll"}},
        {"/opt/zel/bin/sub/ZelWireless",
         "",
         {"/opt/zel/bin/sub/ZelWireless.ini", "/opt/zel/bin/sub/ZelWirelessLog.txt",
          "/opt/zel/bin/sub/diag.dll"}},
        {"/opt/myzel/bin/ZelWireless",
         "",
         {"/opt/myzel/bin/ZelWireless.ini", "/opt/myzel/bin/ZelWirelessLog.txt", "/opt/myzel/bin/diag.dll"}},
        {"/opt/zel/bin/ZelWireless",
         "/var/lib/zel-wireless/ZelWireless.ini",
         {"/var/lib/zel-wireless/ZelWireless.ini", "/var/lib/zel-wireless/ZelWirelessLog.txt",
          "/var/lib/zel-wireless/diag.dll"}},
    };
    for (const Case& c : cases) {
        const TAppPaths paths = MakeAppPaths(c.exe, c.config, place);
        EXPECT_EQ(paths.ConfigFile, c.expected.ConfigFile) << c.exe << " " << c.config;
        EXPECT_EQ(paths.DefaultLogFile, c.expected.DefaultLogFile) << c.exe << " " << c.config;
        EXPECT_EQ(paths.DiagMarker, c.expected.DiagMarker) << c.exe << " " << c.config;
        EXPECT_EQ(paths.CreateConfigFolder, c.expected.CreateConfigFolder) << c.exe << " " << c.config;
    }
}

TEST(AppPathsTest, TheUserFolderFollowsXdgConfigHome) {
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/srv/cfg");
    EXPECT_EQ(CurrentInstallPlace().UserFolder, "/srv/cfg/ZelWireless");
    // A relative one is ignored, as it would move with the current folder.
    qputenv("XDG_CONFIG_HOME", "cfg");
    EXPECT_EQ(CurrentInstallPlace().UserFolder, QDir::homePath().toStdString() + "/.config/ZelWireless");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(CurrentInstallPlace().UserFolder, QDir::homePath().toStdString() + "/.config/ZelWireless");
    if (!saved.isNull())
        qputenv("XDG_CONFIG_HOME", saved);
}

// The first start of an installed program: neither ~/.config nor its folder may exist yet.
TEST_F(PrefsMgrTest, AnInstalledProgramCreatesItsPrivateFolderAtFirstStart) {
    const TInstallPlace place{"/usr/bin", Path("home/.config/ZelWireless")};
    TZel_WirelessPrefsMgr prefs(MakeAppPaths(Path("root/usr/bin/ZelWireless"), "", place));
    prefs.IniFilename = prefs.Paths().ConfigFile;
    prefs.Server = &server;
    prefs.ReadSettings();
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_TRUE(std::filesystem::is_regular_file(Path("home/.config/ZelWireless/ZelWireless.ini")));
    EXPECT_EQ(prefs.LogFilename, Path("home/.config/ZelWireless/ZelWirelessLog.txt"));
    for (const char* folder : {"home", "home/.config", "home/.config/ZelWireless"}) {
        struct stat info {};
        ASSERT_EQ(::stat(Path(folder).c_str(), &info), 0) << folder;
        EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("root"))) << "nothing beside the executable";
}

} // namespace
