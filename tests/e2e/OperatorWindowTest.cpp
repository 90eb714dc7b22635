// The program with its window, run as a real process on the offscreen
// platform: the mode follows the display, and a stop request of the system
// ends it like a confirmed exit, without a question.
#include <gtest/gtest.h>

#include <csignal>

#include "E2eServer.h"
#include "base/IniFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestHandheld.h"

namespace {

struct StopCase {
    const char* name;
    int signal;
};

class OperatorWindowStop : public testing::TestWithParam<StopCase> {};

TEST_P(OperatorWindowStop, EndsLikeAConfirmedExit) {
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    const int port = FreeLoopbackPort();
    WriteAll(config, SettingsSection(port) + "[ZelWireless Window Settings]\r\ntop=100\r\nleft=200\r\n"
                                             "height=500\r\nwidth=600\r\n");
    auto environment = folder.PrivateEnvironment();
    environment["QT_QPA_PLATFORM"] = "offscreen";
    TChildProcess program;
    const std::string output = folder.File("out.txt");
    ASSERT_TRUE(program.Start({ServerProgram(), "--config", config}, environment, output));
    // Enabled by the start-up timer, about 3.2 s after the start.
    ASSERT_TRUE(
        WaitForText(folder.File("ZelWirelessLog.txt"), "Server enabled on 127.0.0.1:", 15000, &program))
        << ReadAll(output);
    EXPECT_EQ(ReadAll(output).find("running headless"), std::string::npos);

    program.Signal(GetParam().signal);
    const auto code = program.Wait(10000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    // The placement is the window's restored one (or, when the stop came
    // before the window opened, the saved one untouched).
    TIniFile ini(config);
    EXPECT_EQ(ini.ReadString("ZelWireless Window Settings", "top", ""), "100");
    EXPECT_EQ(ini.ReadString("ZelWireless Window Settings", "left", ""), "200");
    EXPECT_EQ(ini.ReadString("Settings", "DisabledMessage", ""), "Wireless server is not currently enabled.");
}

INSTANTIATE_TEST_SUITE_P(E2e, OperatorWindowStop,
                         testing::Values(StopCase{"SIGTERM", SIGTERM}, StopCase{"SIGINT", SIGINT}),
                         [](const testing::TestParamInfo<StopCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(E2eOperatorWindow, WithoutADisplayItRunsHeadless) {
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    WriteAll(config, SettingsSection(FreeLoopbackPort()));
    auto environment = folder.PrivateEnvironment();
    environment["QT_QPA_PLATFORM"] = "";
    environment["DISPLAY"] = "";
    environment["WAYLAND_DISPLAY"] = "";
    TChildProcess program;
    const std::string output = folder.File("out.txt");
    ASSERT_TRUE(program.Start({ServerProgram(), "--config", config}, environment, output));
    ASSERT_TRUE(WaitForText(output, "Server enabled on", 10000, &program)) << ReadAll(output);
    EXPECT_NE(ReadAll(output).find("No display available: running headless."), std::string::npos);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(10000).value_or(-1), 0);
}

} // namespace
