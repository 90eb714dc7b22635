// Device access with the real programs: the headless server, zel-pda
// connecting from other loopback addresses, and the --devices command run
// beside the running server.
#include "E2eDataFixture.h"

#include <QThread>
#include <chrono>

#include "base/DeviceRegistry.h"
#include "support/Files.h"

namespace {

const char* const kWaiting =
    "zel-pda: session 1: Session not selected: this device is waiting for approval on the server\n";

// Polls for up to five seconds.
template <typename Pred> bool Eventually(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QThread::msleep(50);
    }
    return true;
}

class E2eAccessTest : public E2eDataTest {
protected:
    std::string ExtraConfig() const override {
        return "[Access]\nNewDevices=approve\nTrustedNetworks=127.0.0.1/32\nAllowedNetworks=127.0.0.0/29\n";
    }
    std::string Config() const { return m_folder.File("ZelWireless.ini"); }

    TProgramRun Devices(const std::vector<std::string>& args) {
        std::vector<std::string> command = {ServerProgram(), "--config", Config(), "--devices"};
        command.insert(command.end(), args.begin(), args.end());
        return RunProgram(command, m_folder);
    }
    // zel-pda from 127.0.0.2 (outside the trusted networks) as the device serial.
    TProgramRun From2(const std::string& serial, const std::vector<std::string>& args) {
        std::vector<std::string> command = {"--bind", "127.0.0.2", "--serial", serial, "--user", "e2e"};
        command.insert(command.end(), args.begin(), args.end());
        return Pda(command);
    }
    // The server writes what it learnt at logins within a second or so.
    bool Listed(const std::string& serial) {
        return Eventually(
            [&] { return Devices({"list"}).Out.find("\n" + serial + " ") != std::string::npos; });
    }
};

TEST_P(E2eAccessTest, TheCommandLineDecidesForARunningServer) {
    TProgramRun run = From2("E2E-PDA", {"count"});
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_EQ(run.Err, kWaiting);
    ASSERT_TRUE(Listed("E2E-PDA"));
    EXPECT_NE(Devices({"list"}).Out.find("1 device(s), 1 waiting for approval"), std::string::npos);

    run = Devices({"allow", "E2E-PDA", "--read-only"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "Device [E2E-PDA] (e2e, zel-pda): allowed read-only, by command line (last address "
                       "127.0.0.2)\n");
    run = From2("E2E-PDA", {"count", "post", "0=A00001", "2=1"});
    EXPECT_EQ(run.Out, "42\n");
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Err, "zel-pda: post failed: Error processing message, this device may only read on this "
                       "server: nothing was changed\n");
    EXPECT_EQ(Scalar("SELECT Quantity FROM stock WHERE ItemNo = 'A00001'"), "10");

    EXPECT_EQ(Devices({"allow", "E2E-PDA", "--sessions", "2"}).ExitCode, 0);
    run = From2("E2E-PDA", {"count"});
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_EQ(run.Err,
              "zel-pda: session 1: Session not selected: this device may not use Session01 on this server\n");
    EXPECT_EQ(From2("E2E-PDA", {"--session", "2", "post", "0=A9", "1=nine", "2=9"}).ExitCode, 0);

    EXPECT_EQ(Devices({"refuse", "E2E-PDA"}).ExitCode, 0);
    run = From2("E2E-PDA", {"--session", "2", "count"});
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_EQ(run.Err,
              "zel-pda: session 2: Session not selected: this device is not allowed on this server\n");

    EXPECT_EQ(Devices({"forget", "E2E-PDA"}).ExitCode, 0);
    EXPECT_EQ(From2("E2E-PDA", {"count"}).Err, kWaiting) << "a forgotten device is new again";

    // The server's log holds every decision, the command line's included.
    const std::string log = ReadAll(m_folder.File("ZelWirelessLog.txt"));
    for (const char* line :
         {"Device [E2E-PDA] (", "from 127.0.0.2: new device, waiting for approval",
          "allowed read-only, by command line", "refused, by command line", "forgotten, by command line"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

    // Mistakes are told apart from what was done.
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* error;
    };
    const Case mistakes[] = {
        {{"allow", "NO-SUCH"}, 1, "Unknown device [NO-SUCH]"},
        {{"allow"}, 2, "--devices allow takes one argument: SERIAL"},
        {{"refuse", "E2E-PDA", "--read-only"}, 2, "--read-only and --sessions go with --devices allow"},
        {{"allow", "E2E-PDA", "--sessions", "1,x"}, 2, "--sessions: Invalid session list [1,x]"},
        {{"accept-new", "soon"}, 2, "MINUTES must be a number"},
        {{"approve", "E2E-PDA"}, 2, "unknown --devices action [approve]"},
    };
    for (const Case& c : mistakes) {
        run = Devices(c.args);
        EXPECT_EQ(run.ExitCode, c.exitCode) << c.args[0];
        EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

// Trusted networks need no approval; addresses outside AllowedNetworks are
// not served at all.
TEST_P(E2eAccessTest, TrustedAndAllowedNetworks) {
    TProgramRun run = Pda({"--bind", "127.0.0.1", "--serial", "E2E-LOCAL", "count"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    run = Pda({"--bind", "127.0.0.9", "--serial", "E2E-FAR", "count"});
    EXPECT_EQ(run.ExitCode, 4) << run.Err;
    run = Pda({"--bind", "127.0.0.9", "--serial", "E2E-FAR", "count"});
    EXPECT_EQ(run.ExitCode, 4);
    EXPECT_TRUE(Eventually([&] {
        return m_server->Output().find("Connection from 127.0.0.9 refused: not in AllowedNetworks") !=
               std::string::npos;
    }));
    const std::string output = m_server->Output();
    EXPECT_EQ(output.find("Connection from 127.0.0.9 refused"),
              output.rfind("Connection from 127.0.0.9 refused"))
        << "one line per address and minute";
    EXPECT_EQ(output.find("E2E-FAR"), std::string::npos);
}

// The accept window is kept in the registry: a server started while it is
// open honours it, and the restart does not move its end.
TEST_P(E2eAccessTest, AcceptNewWindowSurvivesARestartWithoutGrowing) {
    ASSERT_EQ(m_server->Stop(), 0);
    TProgramRun run = Devices({"accept-new", "5"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    ASSERT_EQ(run.Out.rfind("New devices are accepted until ", 0), 0u) << run.Out;
    const std::string until = run.Out;
    ASSERT_TRUE(m_server->Start(Config())) << m_server->Output();
    run = From2("E2E-NEW", {"count"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(Devices({"list"}).Out.find(until), std::string::npos);

    EXPECT_EQ(Devices({"accept-new", "0"}).Out, "New devices are no longer accepted\n");
    EXPECT_EQ(From2("E2E-LATE", {"count"}).Err, kWaiting);
    EXPECT_EQ(From2("E2E-NEW", {"count"}).ExitCode, 0) << "what the window let in stays allowed";
}

// A registry of 2,000 devices: the handheld among them is served, and the
// server's own notes keep every entry.
TEST_P(E2eAccessTest, TwoThousandDevices) {
    ASSERT_EQ(m_server->Stop(), 0);
    {
        TDeviceRegistry registry(TDeviceRegistry::FileNameFor(Config()));
        for (int i = 0; i < 2000; ++i) {
            TDeviceRecord record;
            record.Key = record.Serial = "FLEET-" + std::to_string(i);
            record.UserName = "user" + std::to_string(i);
            record.LastSeen = record.FirstSeen = QDateTime::currentDateTimeUtc();
            registry.NoteLogin(record, std::nullopt);
        }
        registry.Flush();
        registry.Allow("FLEET-1999", false, {}, TDecisionSource::CommandLine);
    }
    ASSERT_TRUE(m_server->Start(Config())) << m_server->Output();
    TProgramRun run = From2("FLEET-1999", {"count"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(From2("FLEET-0", {"count"}).Err, kWaiting);
    EXPECT_TRUE(Eventually([&] {
        return Devices({"list"}).Out.find("2000 device(s), 1999 waiting for approval") != std::string::npos;
    }));
    EXPECT_EQ(m_server->Stop(), 0);
    TDeviceRegistry after(TDeviceRegistry::FileNameFor(Config()));
    EXPECT_EQ(after.List().size(), 2000u);
    EXPECT_EQ(after.Find("FLEET-1999")->LastAddress, "127.0.0.2");
}

// The server killed while it writes what it learnt at logins: the registry
// is the old file or the new one, whole, and the next start reads it.
TEST_P(E2eAccessTest, RegistryStaysWholeWhenTheServerIsKilled) {
    ASSERT_EQ(m_server->Stop(), 0);
    const std::string registryFile = TDeviceRegistry::FileNameFor(Config());
    {
        TDeviceRegistry registry(registryFile);
        for (int i = 0; i < 2000; ++i) {
            TDeviceRecord record;
            record.Key = record.Serial = "FLEET-" + std::to_string(i);
            record.LastSeen = record.FirstSeen = QDateTime::currentDateTimeUtc();
            registry.NoteLogin(record, std::nullopt);
        }
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(m_server->Start(Config())) << m_server->Output();
        for (int i = 0; i < 4; ++i)
            From2("KILLED-" + std::to_string(round) + "-" + std::to_string(i), {"count"});
        QThread::msleep(700 + 150 * round); // around the server's next write
        EXPECT_EQ(m_server->Stop(SIGKILL), 128 + SIGKILL);
        TDeviceRegistry after(registryFile);
        EXPECT_GE(after.List().size(), 2000u);
        EXPECT_TRUE(after.Find("FLEET-1999"));
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, E2eAccessTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

// A configuration file from before device access (no [Access] section):
// every device is still served, and each new one is logged.
class E2eUpgradeTest : public E2eDataTest {};

TEST_P(E2eUpgradeTest, FileWithoutAccessSectionServesAndLogsNewDevices) {
    TProgramRun run = Pda({"--bind", "127.0.0.2", "--serial", "OLD-SITE", "count"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(m_server->Output().find("Device [OLD-SITE] ("), std::string::npos);
    EXPECT_NE(
        m_server->Output().find(
            "from 127.0.0.2: allowed read-write (no [Access] section in the configuration file), by policy"),
        std::string::npos)
        << m_server->Output();
}

INSTANTIATE_TEST_SUITE_P(Drivers, E2eUpgradeTest, ::testing::Values(TestDriver::SQLite),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
