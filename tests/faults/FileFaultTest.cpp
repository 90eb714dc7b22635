#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FaultSupport.h"
#include "base/IniFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/TempFolder.h"
#include "support/TestHandheld.h"

// Faults around the program's files, against the real program (and a helper
// that saves a configuration file) running as child processes.

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

constexpr uid_t kNobody = 65534;
constexpr int kKilled = 128 + SIGKILL;

std::string SettingsSection(int port, const std::string& extra = "") {
    return "[Settings]\r\nServerPort=" + std::to_string(port) + "\r\nServer IP Address=127.0.0.1\r\n" + extra;
}

std::string SessionSection(int number, const std::string& name, TestDriver driver, const std::string& table,
                           const std::string& key, const std::vector<std::string>& fields,
                           bool enabled = true) {
    char header[32];
    std::snprintf(header, sizeof header, "[Session%.2d]\r\n", number);
    std::string text = header + std::string("SessionName=") + name + "\r\nEnabled=" + (enabled ? "1" : "0") +
                       "\r\nDSN=" + OdbcTestEnv::DsnName(driver) + "\r\nTablename=" + table +
                       "\r\nKeyFieldName=" + key + "\r\n";
    for (size_t i = 0; i < fields.size(); ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "Field%.2d=", int(i + 1));
        text += line + fields[i] + "\r\n";
    }
    return text;
}

// The program, headless, on a configuration file in a scratch folder, with
// private runtime and configuration folders (so its single-instance lock
// never meets another copy). Its log lines and messages go to Output().
class TProgram {
public:
    explicit TProgram(const std::string& folder) : m_folder(folder) {
        for (const char* sub : {"/run", "/config"})
            std::filesystem::create_directories(m_folder + sub);
    }

    // Starts it (as an unprivileged user when asked and running as root) and
    // waits until it listens.
    bool Start(const std::string& configFile, bool unprivileged = false) {
        std::vector<std::string> argv;
        if (unprivileged && ::geteuid() == 0)
            argv = {"setpriv", "--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody),
                    "--clear-groups", "--"};
        argv.insert(argv.end(), {ZEL_PROGRAM, "--headless", "--config", configFile});
        m_output = m_folder + "/output-" + std::to_string(++m_runs) + ".txt";
        if (!Child.Start(argv,
                         {{"XDG_RUNTIME_DIR", m_folder + "/run"},
                          {"XDG_CONFIG_HOME", m_folder + "/config"},
                          {"HOME", m_folder}},
                         m_output))
            return false;
        return WaitForText(m_output, "Server enabled on", 10000, &Child);
    }

    // Ends it with SIGTERM: the exit code (nothing when it had to be killed).
    std::optional<int> Stop() {
        Child.Signal(SIGTERM);
        return Child.Wait(10000);
    }

    const std::string& Output() const { return m_output; }

    TChildProcess Child;

private:
    std::string m_folder;
    std::string m_output;
    int m_runs = 0;
};

// Hands the folder (and what is in it) to the unprivileged user.
void GiveToNobody(const std::string& path) {
    if (::geteuid() != 0)
        return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        ASSERT_EQ(::chown(entry.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
}

// A handheld's short visit: greeting, login, an unknown request, goodbye.
void Visit(int port, const std::string& user) {
    TTestHandheld handheld;
    ASSERT_TRUE(handheld.Connect(port));
    EXPECT_EQ(handheld.Hello().Type, "PCHELO");
    EXPECT_EQ(handheld.Login(user, "SN-" + user).Type, "PCLOGIN");
    ASSERT_TRUE(handheld.SendFrame("PDAFOO", ""));
    const THandheldFrame error = handheld.ReadFrame();
    EXPECT_EQ(error.Type, "PCERR");
    EXPECT_EQ(error.Text(1, 250), "Error processing message, Unrecognized message type");
    ASSERT_TRUE(handheld.SendFrame("PDABYE", ""));
    EXPECT_TRUE(handheld.WaitClosed());
}

// The log file's folder cannot be written: the program goes on serving and
// says so once, until logging works again; a new failure is told again.
TEST(FileFaultTest, LogFolderNotWritable) {
    TTempFolder folder;
    const std::string conf = folder.File("conf");
    const std::string logs = folder.File("logs");
    const std::string logFile = logs + "/ZelWirelessLog.txt";
    std::filesystem::create_directories(logs);
    ::chmod(logs.c_str(), ::geteuid() == 0 ? 0755 : 0555);
    TProgram program(conf);
    const int port = FreeLoopbackPort();
    WriteAll(conf + "/ZelWireless.ini", SettingsSection(port, "Logfilename=" + logFile + "\r\n"));
    GiveToNobody(conf);
    ASSERT_TRUE(program.Start(conf + "/ZelWireless.ini", true)) << ReadAll(program.Output());
    const std::string failure = "AppendToFile: Error: " + logFile + ": ";

    Visit(port, "anna");
    Visit(port, "bert");
    ASSERT_TRUE(WaitForText(program.Output(), "Disconnect from bert@", 10000, &program.Child));
    EXPECT_EQ(CountText(program.Output(), failure), 1) << ReadAll(program.Output());
    EXPECT_GE(CountText(program.Output(), "Connect from"), 2);
    EXPECT_FALSE(std::filesystem::exists(logFile));

    // Writable again: lines arrive in the file, without a message.
    ::chmod(logs.c_str(), 0777);
    Visit(port, "carl");
    EXPECT_TRUE(WaitForText(logFile, "Disconnect from carl@"));
    EXPECT_EQ(CountText(program.Output(), failure), 1);

    // Failing anew is told anew, once.
    std::filesystem::remove(logFile);
    ::chmod(logs.c_str(), ::geteuid() == 0 ? 0755 : 0555);
    Visit(port, "dora");
    Visit(port, "emil");
    ASSERT_TRUE(WaitForText(program.Output(), "Disconnect from emil@", 10000, &program.Child));
    EXPECT_EQ(CountText(program.Output(), failure), 2) << ReadAll(program.Output());
    EXPECT_EQ(program.Stop(), 0);
}

// A service's layout: the configuration file is writable, its folder is not.
// The program starts, upgrades the file, serves and writes its settings at
// the end, all in place.
TEST(FileFaultTest, WritableConfigurationInAReadOnlyFolder) {
    TTempFolder folder;
    const std::string conf = folder.File("conf");
    const std::string logs = folder.File("logs");
    const std::string config = conf + "/ZelWireless.ini";
    std::filesystem::create_directories(logs);
    TProgram program(conf);
    const int port = FreeLoopbackPort();
    WriteAll(config, SettingsSection(port, "Logfilename=" + logs + "/ZelWirelessLog.txt\r\n") +
                         "[Session01]\r\nSessionName=Old\r\nField1=ItemNo\r\n");
    ::chmod(config.c_str(), 0640);
    GiveToNobody(conf);
    GiveToNobody(logs);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(conf.c_str(), 0, 0), 0);
    }
    ::chmod(conf.c_str(), 0555);
    struct stat before {};
    ASSERT_EQ(::stat(config.c_str(), &before), 0);

    ASSERT_TRUE(program.Start(config, true)) << ReadAll(program.Output());
    Visit(port, "anna");
    EXPECT_EQ(program.Stop(), 0);
    ::chmod(conf.c_str(), 0755);
    EXPECT_EQ(CountText(program.Output(), "Failed"), 0) << ReadAll(program.Output());
    const TIniFile ini(config);
    EXPECT_EQ(ini.ReadString("Session01", "Field01", ""), "ItemNo");
    EXPECT_FALSE(ini.ValueExists("Session01", "Field1"));
    EXPECT_EQ(ini.ReadString("Version", "Version", ""), ZEL_VERSION_STRING);
    EXPECT_EQ(ini.ReadString("Settings", "DisabledMessage", ""), "Wireless server is not currently enabled.");
    struct stat after {};
    ASSERT_EQ(::stat(config.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
}

// The configuration file cannot be read at a session selection: the handheld
// is told why, rather than finding a disabled session with no fields.
TEST(FileFaultTest, UnreadableConfigurationAtASessionSelection) {
    TTempFolder folder;
    const std::string conf = folder.File("conf");
    const std::string config = conf + "/ZelWireless.ini";
    TProgram program(conf);
    const int port = FreeLoopbackPort();
    WriteAll(config, SettingsSection(port) + "[Session01]\r\nSessionName=Stock\r\nEnabled=0\r\n");
    GiveToNobody(conf);
    ASSERT_TRUE(program.Start(config, true)) << ReadAll(program.Output());
    TTestHandheld handheld;
    ASSERT_TRUE(handheld.Connect(port));
    EXPECT_EQ(handheld.Hello().Type, "PCHELO");
    EXPECT_EQ(handheld.Login("anna", "SN-1").Type, "PCLOGIN");

    ::chmod(config.c_str(), 0200);
    THandheldFrame reply = handheld.SelectSession(1);
    EXPECT_EQ(reply.Text(0, 1), "N");
    EXPECT_EQ(
        reply.Text(1, 200).rfind("Session not selected: Failed reading .ini file in section [Session01]: "
                                 "TIniFile: cannot read file [" +
                                     config + "]: Permission denied",
                                 0),
        0u)
        << reply.Text(1, 200);

    ::chmod(config.c_str(), 0600);
    reply = handheld.SelectSession(1);
    EXPECT_EQ(reply.Text(1, 200), "Session not selected: Session [Stock] not enabled on server");
    EXPECT_EQ(program.Stop(), 0);
}

// The configuration file is replaced under the running program: the next
// session selection reads the new definitions, and the settings the program
// writes at its end go into the new file without bringing back the old one.
class ConfigReplacedTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ConfigReplacedTest, NextSelectionReadsTheNewFile) {
    OdbcTestEnv::Get().ExecSql(TestDriver::SQLite,
                               {"DROP TABLE IF EXISTS Shelf",
                                "CREATE TABLE Shelf (ShelfNo VARCHAR(10) PRIMARY KEY, Label VARCHAR(40))",
                                "INSERT INTO Shelf VALUES ('S1', 'Top')"});
    TTempFolder folder;
    TProgram program(folder.Path());
    const int port = FreeLoopbackPort();
    const std::string config = folder.File("ZelWireless.ini");
    WriteAll(config, SettingsSection(port) +
                         SessionSection(1, "Shelves", TestDriver::SQLite, "Shelf", "ShelfNo", {"Label"}) +
                         "[Custom]\r\nMarker=original\r\n");
    ASSERT_TRUE(program.Start(config)) << ReadAll(program.Output());
    TTestHandheld handheld;
    ASSERT_TRUE(handheld.Connect(port));
    handheld.Hello();
    handheld.Login("anna", "SN-1");
    EXPECT_EQ(handheld.SelectSession(1).Text(1, 200), "Session selected: Shelves");

    const std::string replacement =
        SettingsSection(port) +
        SessionSection(1, "Shelves", TestDriver::SQLite, "Shelf", "ShelfNo", {"Label"}, false) +
        SessionSection(2, "Shelves replaced", TestDriver::SQLite, "Shelf", "ShelfNo", {"Label"}) +
        "[Custom]\r\nMarker=replaced\r\n";
    if (std::string(GetParam()) == "RenamedOver") {
        WriteAll(config + ".new", replacement);
        ASSERT_EQ(::rename((config + ".new").c_str(), config.c_str()), 0);
    } else {
        WriteAll(config, replacement);
    }

    EXPECT_EQ(handheld.SelectSession(2).Text(1, 200), "Session selected: Shelves replaced");
    ASSERT_TRUE(handheld.SendFrame("PDASELECT", SelectPayload(0, 0, {1})));
    const THandheldFrame data = handheld.ReadFrame();
    ASSERT_EQ(data.Type, "PCDATA");
    EXPECT_EQ(ParseDataRows(data.Payload), (std::map<int, std::vector<std::string>>{{0, {"S1", "Top"}}}));
    EXPECT_EQ(handheld.SelectSession(1).Text(1, 200),
              "Session not selected: Session [Shelves] not enabled on server");
    handheld.Close();

    EXPECT_EQ(program.Stop(), 0);
    TIniFile ini(config);
    EXPECT_EQ(ini.ReadString("Custom", "Marker", ""), "replaced");
    EXPECT_EQ(ini.ReadString("Session01", "Enabled", ""), "0");
    EXPECT_EQ(ini.ReadString("Session02", "SessionName", ""), "Shelves replaced");
    EXPECT_EQ(ini.ReadString("Settings", "ServerPort", ""), std::to_string(port));
    EXPECT_EQ(ini.ReadString("Settings", "Verbose", ""), "N") << "the settings were written at the end";
}

INSTANTIATE_TEST_SUITE_P(Faults, ConfigReplacedTest, ::testing::Values("RenamedOver", "RewrittenInPlace"),
                         [](const auto& info) { return std::string(info.param); });

// The lines of a session section as written at the start.
std::string KillSessionSection(int number) {
    std::vector<std::string> fields;
    for (int i = 1; i <= 30; ++i)
        fields.push_back("Column" + std::to_string(number) + "_" + std::to_string(i));
    return SessionSection(number, "Session number " + std::to_string(number), TestDriver::SQLite,
                          "Table" + std::to_string(number), "Key" + std::to_string(number), fields);
}

// A helper saves the configuration as fast as it can and is killed at random
// moments: afterwards the file is always whole, every line well formed and
// every session section exactly as before.
TEST(FileFaultTest, KillDuringConfigurationSaveLeavesTheFileWhole) {
    constexpr int kIterations = 40;
    constexpr int kSessions = 8;
    TTempFolder folder;
    const std::string config = folder.File("ZelWireless.ini");
    std::string original = "Mar-07 14:05:09: \r\n" + SettingsSection(4402);
    for (int n = 1; n <= kSessions; ++n)
        original += KillSessionSection(n);
    WriteAll(config, original);

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pause(0, 15000);
    int counterSeen = -1;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        TChildProcess writer;
        ASSERT_TRUE(writer.Start({ZEL_FAULT_HELPER, "ini-writer", config}, {}, folder.File("writer.txt")));
        // Killed only once it is saving: wait for its first save (every other
        // time for a later one, however long a synced save takes on this
        // disk), then a random moment.
        TIniFile ini(config);
        const int saved = iteration % 2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ini.ReadInteger("Settings", "Counter", -1) < saved &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        writer.Signal(SIGKILL);
        ASSERT_EQ(writer.Wait(10000), kKilled) << ReadAll(folder.File("writer.txt"));

        const std::string content = ReadAll(config);
        ASSERT_EQ(content.substr(0, 19), "Mar-07 14:05:09: \r\n");
        ASSERT_EQ(content.substr(content.size() - 2), "\r\n");
        size_t start = 19;
        for (size_t end = content.find("\r\n", start); end != std::string::npos;
             end = content.find("\r\n", start)) {
            const std::string line = content.substr(start, end - start);
            ASSERT_TRUE((line.size() > 2 && line.front() == '[' && line.back() == ']') ||
                        line.find('=') != std::string::npos)
                << "[" << line << "]";
            start = end + 2;
        }
        for (int n = 1; n <= kSessions; ++n)
            ASSERT_NE(content.find(KillSessionSection(n)), std::string::npos) << "Session" << n << " damaged";
        const int counter = ini.ReadInteger("Settings", "Counter", -1);
        ASSERT_GE(counter, 0);
        counterSeen = std::max(counterSeen, counter);
    }
    EXPECT_GT(counterSeen, 0);
}

// Rows whose every column follows from the key and a generation number, so
// that a row written in part shows.
struct TPostRow {
    int Key = 0;
    int Generation = 0;

    std::string KeyText() const {
        char text[16];
        std::snprintf(text, sizeof text, "K%05d", Key);
        return text;
    }
    std::string A() const { return KeyText() + "-g" + std::to_string(Generation); }
    std::string B() const { return "g" + std::to_string(Generation) + "-" + KeyText(); }
    std::string N() const { return std::to_string(Key * 1000 + Generation); }
    std::string D() const {
        std::string text;
        for (int i = 0; i < 8 + Generation % 5; ++i)
            text += A() + ";";
        return text;
    }
    std::vector<std::string> Columns() const { return {KeyText(), A(), B(), N(), D()}; }
    std::vector<std::pair<int, std::string>> Post() const {
        return {{0, KeyText()}, {1, A()}, {2, B()}, {3, N()}, {4, D()}};
    }
};

class KillDuringPostTest : public ::testing::TestWithParam<TestDriver> {
protected:
    std::vector<std::vector<std::string>> Rows() {
        return OdbcTestEnv::Get().QuerySql(GetParam(), "SELECT K, A, B, N, D FROM Posts ORDER BY K");
    }

    // After a kill PostgreSQL ends the dead connection's backend on its own;
    // the next run must not meet its locks.
    void WaitForDeadBackends() {
        if (GetParam() != TestDriver::PostgreSQL)
            return;
        for (int i = 0; i < 500; ++i) {
            const auto rows = OdbcTestEnv::Get().QuerySql(
                GetParam(), "SELECT COUNT(*) FROM pg_stat_activity WHERE backend_type = 'client backend' "
                            "AND pid <> pg_backend_pid()");
            if (rows.at(0).at(0) == "0")
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "the killed program's database connection did not end";
    }
};

// A handheld posts new rows and updates to the real program, which is killed
// at a random moment: every row in the table is whole afterwards, and every
// post the handheld saw confirmed is there.
TEST_P(KillDuringPostTest, EveryRowIsWholeAndEveryConfirmedPostKept) {
    constexpr int kIterations = 6;
    OdbcTestEnv::Get().ExecSql(GetParam(), {"DROP TABLE IF EXISTS Posts",
                                            "CREATE TABLE Posts (K VARCHAR(20) PRIMARY KEY, A VARCHAR(40), "
                                            "B VARCHAR(40), N INTEGER, D VARCHAR(400))"});
    TTempFolder folder;
    TProgram program(folder.Path());
    const int port = FreeLoopbackPort();
    const std::string config = folder.File("ZelWireless.ini");
    WriteAll(config, SettingsSection(port) +
                         SessionSection(1, "Posts", GetParam(), "Posts", "K", {"A", "B", "N", "D"}));

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::map<int, int> confirmed; // key -> generation the handheld saw confirmed
    int nextKey = 1;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        ASSERT_TRUE(program.Start(config)) << ReadAll(program.Output());
        TTestHandheld handheld;
        ASSERT_TRUE(handheld.Connect(port));
        handheld.Hello();
        handheld.Login("anna", "SN-1");
        ASSERT_EQ(handheld.SelectSession(1).Text(0, 1), "Y");

        const int killAfterUs = std::uniform_int_distribution<int>(20000, 250000)(random);
        std::atomic<bool> firstConfirmed{false};
        std::thread killer([&] {
            while (!firstConfirmed)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::this_thread::sleep_for(std::chrono::microseconds(killAfterUs));
            program.Child.Signal(SIGKILL);
        });
        std::optional<TPostRow> inFlight;
        for (int posts = 0; posts < 100000; ++posts) {
            TPostRow row;
            if (confirmed.empty() || random() % 2) {
                row.Key = nextKey++;
            } else {
                auto it = confirmed.begin();
                std::advance(it, random() % confirmed.size());
                row = {it->first, it->second + 1};
            }
            inFlight = row;
            if (!handheld.SendFrame("PDAPOST", PostPayload(row.Post())))
                break;
            const THandheldFrame reply = handheld.ReadFrame();
            if (!reply.Received)
                break;
            if (reply.Type != "PCCOUNT") {
                ADD_FAILURE() << reply.Type << ": " << reply.Text(1, 250);
                break;
            }
            confirmed[row.Key] = row.Generation;
            inFlight.reset();
            firstConfirmed = true;
        }
        firstConfirmed = true;
        killer.join();
        ASSERT_EQ(program.Child.Wait(10000), kKilled);
        WaitForDeadBackends();

        std::map<int, int> found;
        for (const auto& columns : Rows()) {
            TPostRow row;
            row.Key = std::atoi(columns.at(0).c_str() + 1);
            row.Generation = std::atoi(columns.at(1).c_str() + columns.at(1).find("-g") + 2);
            ASSERT_EQ(columns, row.Columns()) << "a row written in part";
            found[row.Key] = row.Generation;
        }
        // The post under way at the kill is there wholly or not at all.
        if (inFlight && found.count(inFlight->Key) && found[inFlight->Key] == inFlight->Generation)
            confirmed[inFlight->Key] = inFlight->Generation;
        EXPECT_EQ(found, confirmed);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, KillDuringPostTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
