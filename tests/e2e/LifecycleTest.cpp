// The server program's start, single instance, configuration upgrade and
// signals, run as a real process.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>

#include "E2eServer.h"
#include "base/IniFile.h"
#include "support/Files.h"
#include "support/TestHandheld.h"

namespace {

const char* const kMissing = "<missing>";

// Replaces the file in one step, as an editor would, so that no reader sees half of it.
void ReplaceFile(const std::string& fileName, const std::string& content) {
    WriteAll(fileName + ".new", content);
    std::filesystem::rename(fileName + ".new", fileName);
}

std::string Value(const std::string& fileName, const std::string& section, const std::string& key) {
    return TIniFile(fileName).ReadString(section, key, kMissing);
}

TEST(E2eLifecycle, HelpAndVersion) {
    TTempFolder folder;
    TProgramRun run = RunProgram({ServerProgram(), "--help"}, folder);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_NE(run.Out.find("--headless"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("--config <FILE>"), std::string::npos) << run.Out;
    run = RunProgram({ServerProgram(), "--version"}, folder);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Out, "Zel Wireless Server " ZEL_VERSION_STRING "\n");
}

TEST(E2eLifecycle, ASecondCopyEndsAtOnceAndACopyElsewhereRuns) {
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    WriteAll(config, SettingsSection(FreeLoopbackPort()));
    TServerProcess first(folder);
    ASSERT_TRUE(first.Start(config)) << first.Output();

    // Same executable on the same file, by another name: ends with 0 before it listens.
    std::filesystem::create_directories(folder.File("sub"));
    std::filesystem::create_symlink(config, folder.File("link.ini"));
    for (const std::string& sameFile : {folder.File("sub/../ZelWireless.ini"), folder.File("link.ini")}) {
        TProgramRun second = RunProgram({ServerProgram(), "--headless", "--config", sameFile}, folder, 10000);
        EXPECT_EQ(second.ExitCode, 0) << sameFile;
        EXPECT_EQ(second.Err.find("Server enabled on"), std::string::npos) << second.Err;
    }

    // Same executable on another configuration file: another instance.
    const std::string otherConfig = folder.File("Other.ini");
    const int otherPort = FreeLoopbackPort();
    WriteAll(otherConfig, SettingsSection(otherPort));
    TServerProcess other(folder);
    ASSERT_TRUE(other.Start(otherConfig)) << other.Output();
    EXPECT_EQ(other.Stop(), 0);

    // A copy of the executable in another folder is another program.
    std::filesystem::create_directories(folder.File("copy"));
    const std::string copy = folder.File("copy/ZelWireless");
    std::filesystem::copy_file(ServerProgram(), copy);
    TServerProcess elsewhere(folder, copy);
    ASSERT_TRUE(elsewhere.Start(otherConfig)) << elsewhere.Output();
    EXPECT_NE(elsewhere.Output().find("Server enabled on 127.0.0.1:" + std::to_string(otherPort)),
              std::string::npos);
    EXPECT_TRUE(first.Child().Running());
    EXPECT_EQ(elsewhere.Stop(), 0);
    EXPECT_EQ(first.Stop(), 0);
}

// Log lines are read by people and tools alike: the month is "Dec" in every
// locale, never the locale's "Dez." or "Sept".
TEST(E2eLifecycle, LogTimesUseEnglishMonthNamesInEveryLocale) {
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    WriteAll(config, SettingsSection(FreeLoopbackPort()));
    TServerProcess server(folder);
    ASSERT_TRUE(server.Start(config, {{"LC_ALL", "de_DE.UTF-8"}, {"LANG", "de_DE.UTF-8"}}))
        << server.Output();
    EXPECT_EQ(server.Stop(), 0);
    const std::regex line(
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\\d\\d \\d\\d:\\d\\d:\\d\\d: .*\r?");
    std::istringstream log(ReadAll(folder.File("ZelWirelessLog.txt")));
    int lines = 0;
    for (std::string text; std::getline(log, text); ++lines)
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    EXPECT_GT(lines, 0);
}

TEST(E2eLifecycle, OldFieldKeysAreRenamedOnceAndTheVersionRecorded) {
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    std::string old = SettingsSection(FreeLoopbackPort()) + "[Session01]\r\nSessionName=Old\r\n";
    for (int i = 1; i <= 9; ++i)
        old += "Field" + std::to_string(i) + "=Column" + std::to_string(i) + "\r\n";
    old += "Field12=Column12\r\n[Session03]\r\nField2=Other2\r\n";
    WriteAll(config, old);

    TServerProcess server(folder);
    ASSERT_TRUE(server.Start(config)) << server.Output();
    EXPECT_EQ(server.Stop(), 0);
    for (int i = 1; i <= 9; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Value(config, "Session01", "Field0" + std::to_string(i)), "Column" + std::to_string(i));
        EXPECT_EQ(Value(config, "Session01", "Field" + std::to_string(i)), kMissing);
    }
    EXPECT_EQ(Value(config, "Session01", "Field12"), "Column12");
    EXPECT_EQ(Value(config, "Session03", "Field02"), "Other2");
    EXPECT_EQ(Value(config, "Version", "Version"), ZEL_VERSION_STRING);

    // With the version recorded, a one-digit key is no longer touched.
    TIniFile(config).WriteString("Session01", "Field3", "Manual");
    ASSERT_TRUE(server.Start(config)) << server.Output();
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(Value(config, "Session01", "Field3"), "Manual");
    EXPECT_EQ(Value(config, "Session01", "Field03"), "Column3");
}

class E2eSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(E2eSignalTest, WritesTheSettingsAndEndsWithCodeZero) {
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    const int port = FreeLoopbackPort();
    WriteAll(config, SettingsSection(port, "Depot 7") + "[Session01]\r\nSessionName=Kept\r\n");
    TServerProcess server(folder);
    ASSERT_TRUE(server.Start(config)) << server.Output();

    // Someone strips the settings while the server runs: the signal puts
    // back what the server holds, and leaves the rest of the file alone.
    ReplaceFile(config, "[Session01]\r\nSessionName=Kept\r\n");
    EXPECT_EQ(server.Stop(GetParam()), 0) << server.Output();
    EXPECT_EQ(Value(config, "Settings", "ServerPort"), std::to_string(port));
    EXPECT_EQ(Value(config, "Settings", "Server IP Address"), "127.0.0.1");
    EXPECT_EQ(Value(config, "Settings", "ServerName"), "Depot 7");
    EXPECT_EQ(Value(config, "Settings", "DisabledMessage"), "Wireless server is not currently enabled.");
    EXPECT_EQ(Value(config, "Settings", "Verbose"), "N");
    EXPECT_EQ(Value(config, "Settings", "Logfilename"), folder.File("ZelWirelessLog.txt"));
    EXPECT_EQ(Value(config, "ApplicationState", "LastDataViewSessionNumber"), "0");
    EXPECT_EQ(Value(config, "Session01", "SessionName"), "Kept");
    EXPECT_NE(server.Output().find("Server stopping"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, E2eSignalTest, ::testing::Values(SIGTERM, SIGINT), [](const auto& info) {
    return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
});

} // namespace
