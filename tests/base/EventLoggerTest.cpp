#include "base/Exception.h"
#include "base/LogFileSink.h"
#include "base/Zel_EventLogger.h"

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>

#include "base/Zel_Lib.h"

#include "support/Files.h"

namespace {

// The logger is process-wide: every test starts and ends without sinks and with verbose off.
class EventLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        GetLogger()->OnLogMessage = nullptr;
        GetLogger()->OnLogError = nullptr;
        SetVerbose(false);
    }
    std::string Path(const std::string& name) const {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    QTemporaryDir dir;
};

TEST_F(EventLoggerTest, WithoutSinksLoggingDoesNothing) {
    LogInfo("info");
    LogError("error");
    LogVerbose("verbose");
    SUCCEED();
}

TEST_F(EventLoggerTest, TextsGoToTheirSinksUnchangedAndVerboseWithPrefix) {
    std::vector<std::string> messages, errors;
    GetLogger()->OnLogMessage = [&](const std::string& t) { messages.push_back(t); };
    GetLogger()->OnLogError = [&](const std::string& t) { errors.push_back(t); };
    LogInfo("Connect from 10.0.0.5");
    LogError("Failure");
    ASSERT_FALSE(GetVerbose());
    LogVerbose("dump"); // delivered even with verbose off: callers test GetVerbose first
    EXPECT_EQ(messages, (std::vector<std::string>{"Connect from 10.0.0.5", " -- dump"}));
    EXPECT_EQ(errors, std::vector<std::string>{"Failure"});
}

TEST_F(EventLoggerTest, VerboseSwitch) {
    EXPECT_FALSE(GetVerbose());
    SetVerbose(true);
    EXPECT_TRUE(GetVerbose());
    EXPECT_TRUE(GetLogger()->Verbose);
    EXPECT_EQ(GetLogger(), GetLogger());
}

TEST_F(EventLoggerTest, ASecondInstanceIsRefused) {
    GetLogger();
    try {
        TZelLogger second;
        FAIL() << "a second logger was created";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "TZelLogger.Create: invoked from non-singleton interface!");
    }
}

TEST_F(EventLoggerTest, ResetKeepsOneOldGeneration) {
    struct Case {
        const char* name;
        const char* oldName;
    };
    const Case cases[] = {
        {"ZelWirelessLog.txt", "ZelWirelessLog-old.txt"},
        {"server.log.txt", "server.log-old.txt"},
        {"logfile", "logfile-old"},
        {".hidden", ".hidden-old"},
    };
    for (const Case& c : cases) {
        const std::string name = Path(c.name), oldName = Path(c.oldName);
        WriteAll(name, "current\r\n");
        WriteAll(oldName, "older\r\n");
        ResetLogFile(name);
        EXPECT_FALSE(std::filesystem::exists(name)) << c.name;
        EXPECT_EQ(ReadAll(oldName), "current\r\n") << c.name;
    }
}

TEST_F(EventLoggerTest, ResetWithoutACurrentLogDeletesTheOldOneAndCreatesNothing) {
    const std::string name = Path("Log.txt"), oldName = Path("Log-old.txt");
    WriteAll(oldName, "older\r\n");
    ResetLogFile(name);
    EXPECT_FALSE(std::filesystem::exists(oldName));
    EXPECT_FALSE(std::filesystem::exists(name));
}

TEST_F(EventLoggerTest, ResetOfAFolderNameOrEmptyNameDoesNothing) {
    ResetLogFile("");
    const std::string folder = Path("logs") + "/";
    std::filesystem::create_directory(folder);
    ResetLogFile(folder);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(EventLoggerTest, FileSinkAppendsTimeStampedLinesToTheCurrentFile) {
    std::string fileName = Path("ZelWirelessLog.txt");
    GetLogger()->OnLogMessage = MakeLogFileSink([&] { return fileName; }, false);
    LogInfo("Server enabled");
    LogVerbose("frame");
    fileName.clear(); // file logging off
    LogInfo("not written");
    const std::regex expected("[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d: Server enabled\r\n"
                              "[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d:  -- frame\r\n");
    const std::string content = ReadAll(Path("ZelWirelessLog.txt"));
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

} // namespace

namespace {

TEST(EventLogCaptureTest, CapturedLinesCarryTheTimeTheyWereLogged) {
    std::vector<std::string> written;
    GetLogger()->OnLogMessage = [&](const std::string& text) {
        written.push_back(FormatLogTimeNow() + " " + text);
    };
    std::vector<TZelLogCapture::TLine> lines;
    std::string logged;
    {
        TZelLogCapture capture;
        // The time of the line, to the second, as a sink shows it.
        for (std::string before; before.empty() || before != logged;) {
            capture.Take();
            before = FormatLogTimeNow();
            LogInfo("statement ended");
            logged = FormatLogTimeNow();
        }
        lines = capture.Take();
    }
    // The reply, and so the writing, comes in a later second.
    while (FormatLogTimeNow() == logged)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    TZelLogCapture::Write(lines);
    LogInfo("reply sent");
    GetLogger()->OnLogMessage = nullptr;
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], logged + " statement ended");
    EXPECT_NE(written[1], logged + " reply sent");
}

} // namespace
