#include "base/DeviceRegistry.h"
#include "base/Exception.h"
#include "base/IniFile.h"

#include <QThread>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempFolder.h"

namespace {

TDeviceRecord Seen(const std::string& serial, const std::string& address = "10.0.0.5",
                   const std::string& user = "alice", const std::string& model = "MC3300") {
    TDeviceRecord record;
    record.Key = DeviceKey(serial, user, model);
    record.BySerial = !serial.empty();
    record.Serial = serial;
    record.UserName = user;
    record.Model = model;
    record.OperatingSystem = "Android 11";
    record.FirstSeen = record.LastSeen = QDateTime::currentDateTimeUtc();
    record.LastAddress = address;
    return record;
}

mode_t ModeOf(const std::string& fileName) {
    struct stat info {};
    return ::stat(fileName.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Polls for up to two seconds: the registry's writer runs on its own thread.
template <typename Pred> bool Eventually(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QThread::msleep(10);
    }
    return true;
}

TEST(DeviceRegistryTest, RecordsRoundTripWithAnyBytesInTheirFields) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    const std::vector<std::string> serials = {"SN-1", " [odd]%serial\r\n= ", ";comment-like", ""};
    {
        TDeviceRegistry registry(file);
        for (const std::string& serial : serials)
            registry.NoteLogin(Seen(serial, "10.0.0.9", "bob ", "TC 21]"), std::nullopt);
        registry.Flush();
        registry.Allow(DeviceKey(serials[1], "bob ", "TC 21]"), true, {3, 1}, TDecisionSource::CommandLine);
    }
    EXPECT_EQ(ModeOf(file), 0600u);
    TDeviceRegistry reread(file);
    ASSERT_EQ(reread.List().size(), serials.size());
    const auto odd = reread.Find(DeviceKey(serials[1], "bob ", "TC 21]"));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->Serial, serials[1]);
    EXPECT_EQ(odd->UserName, "bob ");
    EXPECT_EQ(odd->State, TDeviceState::Allowed);
    EXPECT_TRUE(odd->ReadOnly);
    EXPECT_EQ(odd->Sessions, (std::vector<int>{1, 3}));
    EXPECT_EQ(odd->AccessText(), "allowed read-only, sessions 1,3");
    EXPECT_EQ(odd->DecisionBy, "command line");
    EXPECT_EQ(odd->DecisionAddress, "10.0.0.9");
    EXPECT_TRUE(odd->DecisionTime.isValid());
    const auto noSerial = reread.Find("(no serial) bob  / TC 21]");
    ASSERT_TRUE(noSerial);
    EXPECT_FALSE(noSerial->BySerial);
    EXPECT_EQ(noSerial->State, TDeviceState::Waiting);
    EXPECT_EQ(reread.WaitingCount(), 3);
}

// The server's notes are written by the registry's own thread, as one write for a burst.
TEST(DeviceRegistryTest, LoginsAreBatchedOffTheCallersThread) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    TDeviceRegistry registry(file, 200);
    for (int i = 0; i < 200; ++i)
        registry.NoteLogin(Seen("SN-" + std::to_string(i)), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(file)) << "written on the caller's thread";
    EXPECT_EQ(registry.List().size(), 200u) << "visible at once";
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(file); }));
    struct stat first {};
    ::stat(file.c_str(), &first);
    QThread::msleep(400);
    struct stat later {};
    ::stat(file.c_str(), &later);
    EXPECT_EQ(first.st_ino, later.st_ino) << "written more than once for one burst";
    EXPECT_EQ(TDeviceRegistry(file).List().size(), 200u);
}

// Another process's decisions win over the server's notes, and a device
// forgotten meanwhile is not brought back by a note of its earlier login.
TEST(DeviceRegistryTest, DecisionsOfAnotherWriterSurviveTheServersNotes) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    TDeviceRegistry server(file, 60000);
    server.NoteLogin(Seen("KEEP"), std::nullopt);
    server.NoteLogin(Seen("GONE"), std::nullopt);
    server.Flush();
    {
        TDeviceRegistry command(file);
        command.Refuse("KEEP", TDecisionSource::CommandLine);
        command.Forget("GONE", TDecisionSource::CommandLine);
    }
    // Logins noted before the server has re-read the file.
    server.NoteLogin(Seen("KEEP", "10.0.0.7"), TDeviceRegistry::TPolicyDecision{TDeviceState::Allowed, "x"});
    server.NoteLogin(Seen("GONE", "10.0.0.7"), std::nullopt);
    server.Flush();
    TDeviceRegistry after(file);
    const auto kept = after.Find("KEEP");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->State, TDeviceState::Refused);
    EXPECT_EQ(kept->LastAddress, "10.0.0.7");
    EXPECT_FALSE(after.Find("GONE"));
    const uint64_t generation = server.Generation();
    server.Refresh();
    EXPECT_EQ(server.Generation(), generation) << "re-read its own write";
    EXPECT_EQ(server.Find("KEEP")->State, TDeviceState::Refused);
}

TEST(DeviceRegistryTest, RefreshSeesAnotherWritersChange) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    TDeviceRegistry server(file);
    server.NoteLogin(Seen("SN-1"), std::nullopt);
    server.Flush();
    TDeviceRegistry(file).Allow("SN-1", false, {2}, TDecisionSource::CommandLine);
    server.Refresh();
    EXPECT_TRUE(server.Find("SN-1")->MayUseSession(2));
    EXPECT_FALSE(server.Find("SN-1")->MayUseSession(1));
}

TEST(DeviceRegistryTest, UnknownDeviceRaisesAndWritesNothing) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    TDeviceRegistry registry(file);
    registry.NoteLogin(Seen("SN-1"), std::nullopt);
    registry.Flush();
    struct stat before {};
    ::stat(file.c_str(), &before);
    EXPECT_THROW(registry.Allow("SN-2", false, {}, TDecisionSource::CommandLine), Exception);
    EXPECT_THROW(registry.Forget("sn-1", TDecisionSource::CommandLine), Exception) << "serials are exact";
    struct stat after {};
    ::stat(file.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(DeviceRegistryTest, WritesKeepTheFilesMode) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    TDeviceRegistry registry(file);
    registry.NoteLogin(Seen("SN-1"), std::nullopt);
    registry.Flush();
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    registry.Refuse("SN-1", TDecisionSource::OperatorWindow);
    EXPECT_EQ(ModeOf(file), 0640u);
}

TEST(DeviceRegistryTest, SessionListsParseOrFailClearly) {
    EXPECT_EQ(ParseSessionList("3, 1,3"), (std::vector<int>{1, 3}));
    for (const char* bad : {"", "1,", "a", "1;3", "-1", "100000", "1.5"}) {
        try {
            ParseSessionList(bad);
            ADD_FAILURE() << bad;
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find("Invalid session list"), std::string::npos) << bad;
        }
    }
}

// Two processes deciding at the same moment: the lock file makes them take
// turns, so neither loses the other's decisions.
TEST(DeviceRegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    constexpr int kDevices = 40;
    {
        TDeviceRegistry registry(file);
        for (int i = 0; i < 2 * kDevices; ++i)
            registry.NoteLogin(Seen("SN-" + std::to_string(i)), std::nullopt);
    }
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        if (children[c] == 0) {
            int failures = 0;
            {
                TDeviceRegistry registry(file);
                for (int i = c; i < 2 * kDevices; i += 2) {
                    try {
                        registry.Allow("SN-" + std::to_string(i), c == 1, {}, TDecisionSource::CommandLine);
                    } catch (...) {
                        ++failures;
                    }
                }
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    TDeviceRegistry after(file);
    for (int i = 0; i < 2 * kDevices; ++i) {
        const auto record = after.Find("SN-" + std::to_string(i));
        ASSERT_TRUE(record);
        EXPECT_EQ(record->State, TDeviceState::Allowed) << i;
        EXPECT_EQ(record->ReadOnly, i % 2 == 1) << i;
    }
}

// A writer killed at any moment leaves the old file or the new one, never part of one.
TEST(DeviceRegistryTest, WriterKilledMidWriteLeavesAWholeFile) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    constexpr int kDevices = 2000;
    {
        TDeviceRegistry registry(file);
        for (int i = 0; i < kDevices; ++i)
            registry.NoteLogin(Seen("SN-" + std::to_string(i)), std::nullopt);
    }
    for (int round = 0; round < 5; ++round) {
        const pid_t child = ::fork();
        if (child == 0) {
            TDeviceRegistry registry(file);
            for (int i = 0;; ++i)
                registry.Allow("SN-" + std::to_string(i % kDevices), i % 2 == 0, {},
                               TDecisionSource::CommandLine);
        }
        QThread::msleep(150 + 37 * round);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        TDeviceRegistry after(file);
        ASSERT_EQ(after.List().size(), size_t(kDevices)) << "round " << round;
        // The lock died with the writer: the next one is not kept waiting.
        after.Refuse("SN-0", TDecisionSource::CommandLine);
    }
}

TEST(DeviceRegistryTest, FileNameSitsBesideTheConfigurationFile) {
    EXPECT_EQ(TDeviceRegistry::FileNameFor("/etc/zel/ZelWireless.ini"), "/etc/zel/ZelWirelessDevices.ini");
    EXPECT_EQ(TDeviceRegistry::FileNameFor("site.conf"), "siteDevices.ini");
}

TEST(DeviceRegistryTest, AcceptNewWindowIsKeptInTheFile) {
    TTempFolder folder;
    const std::string file = folder.File("ZelDevices.ini");
    const QDateTime until = QDateTime::currentDateTimeUtc().addSecs(600);
    TDeviceRegistry(file).SetAcceptNewUntil(until);
    TDeviceRegistry reread(file);
    EXPECT_TRUE(reread.AcceptingNew(QDateTime::currentDateTimeUtc()));
    EXPECT_FALSE(reread.AcceptingNew(until.addSecs(1)));
}

} // namespace
