#include <gtest/gtest.h>

#include <QThread>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/DeviceRegistry.h"
#include "base/WirelessPrefsMgr.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"
#include "support/TempFolder.h"
#include "support/TestHandheld.h"
#include "support/TestPrefs.h"
#include "support/TestServer.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

const char* const kWaitingText = "Session not selected: this device is waiting for approval on the server";
const char* const kRefusedText = "Session not selected: this device is not allowed on this server";

// A server whose handhelds connect from 127.0.0.2 (outside the trusted
// 127.0.0.1) unless a test says otherwise. The registry is shared with a
// second registry object on the same file: what the command line in
// another process does.
class DeviceAccessTest : public ::testing::TestWithParam<TestDriver> {
public:
    void SetUp() override {
        CreateStockTable(GetParam());
        const std::string dsn = OdbcTestEnv::DsnName(GetParam());
        prefs = std::make_unique<TTestPrefs>(folder.Path(), "ZelWireless.ini",
                                             StockSession(1, "Stock count", dsn) +
                                                 StockSession(2, "Stock two", dsn));
        registryFile = folder.File("ZelWirelessDevices.ini");
        Server().Access.Configured = true;
        Server().Access.NewDevices = TAccessPolicy::TNewDevices::Approve;
        Server().Access.TrustedNetworks = TNetworkList::Parse("127.0.0.1/32");
        Server().DeviceSweepMs = 50;
        Server().SetDeviceRegistry(std::make_shared<TDeviceRegistry>(registryFile, 20));
    }

    TZelWirelessServer& Server() { return test.Server(); }

    // Connects from the address, greets and logs in.
    TZelWirelessClient* LoggedIn(TTestHandheld& handheld, const std::string& serial,
                                 const std::string& from = "127.0.0.2") {
        handheld.BindAddress = from;
        TZelWirelessClient* client = test.Connect(handheld);
        EXPECT_NE(client, nullptr);
        THandheldFrame login;
        EXPECT_TRUE(RunPumping([&] {
            handheld.Hello();
            login = handheld.Login("anna", serial);
        }));
        EXPECT_EQ(login.Text(0, 1), "Y") << "a device is never refused at login";
        return client;
    }

    THandheldFrame Request(TTestHandheld& handheld, const std::string& type, const std::string& payload) {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] {
            handheld.SendFrame(type, payload);
            reply = handheld.ReadFrame();
        }));
        return reply;
    }

    THandheldFrame Select(TTestHandheld& handheld, int number) {
        char text[8];
        std::snprintf(text, sizeof text, "%d", number);
        return Request(handheld, "PDASSEL", SessionPayload(text));
    }

    // What another process does: waits for the server's note of the device, then decides.
    TDeviceRegistry& Command() {
        if (!command)
            command = std::make_unique<TDeviceRegistry>(registryFile);
        return *command;
    }
    void WaitRecorded(const std::string& serial) {
        EXPECT_TRUE(PumpUntil([&] {
            Command().Refresh();
            return Command().Find(serial).has_value();
        })) << serial
            << " never written";
    }

    std::string Descr() {
        const auto rows =
            OdbcTestEnv::Get().QuerySql(GetParam(), "SELECT Descr FROM Stock WHERE ItemNo = 'A1'");
        return rows.size() == 1 ? rows[0][0] : "<no row A1>";
    }

    TTempFolder folder;
    std::string registryFile;
    std::unique_ptr<TTestPrefs> prefs;
    TTestServer test;
    std::unique_ptr<TDeviceRegistry> command;
};

TEST_P(DeviceAccessTest, WaitingDeviceIsServedOnceAllowedElsewhereWithoutARestart) {
    TTestHandheld handheld;
    TZelWirelessClient* client = LoggedIn(handheld, "SN-W");
    const THandheldFrame waiting = Select(handheld, 1);
    EXPECT_EQ(waiting.Text(0, 1), "N");
    EXPECT_EQ(waiting.Text(1, 200), kWaitingText);
    EXPECT_TRUE(Server().WaitingForApproval(*client));
    EXPECT_EQ(Server().DevicesWaiting(), 1);
    EXPECT_EQ(test.LogCount("Device [SN-W] (anna, T1) from 127.0.0.2: new device, waiting for approval"), 1);

    WaitRecorded("SN-W");
    EXPECT_EQ(Command().Find("SN-W")->LastAddress, "127.0.0.2");
    Command().Allow("SN-W", false, {}, TDecisionSource::CommandLine);
    const THandheldFrame selected = Select(handheld, 1);
    EXPECT_EQ(selected.Text(0, 1), "Y") << selected.Text(1, 200);
    EXPECT_EQ(Request(handheld, "PDAPOST", WhereItem("WK", 0, "A1") + WhereItem("WF", 2, "Nuts")).Type,
              "PCCOUNT");
    EXPECT_EQ(Descr(), "Nuts");
    EXPECT_FALSE(Server().WaitingForApproval(*client));
}

// Each kind of decision, taken while the handheld is connected and has its
// session selected, holds from its next request on.
TEST_P(DeviceAccessTest, DecisionsLimitTheNextRequest) {
    struct Case {
        const char* name;
        bool readOnly;
        std::vector<int> sessions;
        const char* postError; // empty: the post is served
        const char* select2;   // "Y" or the PCSSEL text for session 2
    };
    const Case cases[] = {
        {"read-write", false, {}, "", "Y"},
        {"read-only", true, {}, "this device may only read on this server: nothing was changed", "Y"},
        {"session 1 only",
         false,
         {1},
         "",
         "Session not selected: this device may not use Session02 on this server"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string serial = "SN-D" + std::to_string(++round);
        TTestHandheld handheld;
        LoggedIn(handheld, serial);
        WaitRecorded(serial);
        Command().Allow(serial, false, {}, TDecisionSource::CommandLine);
        ASSERT_EQ(Select(handheld, 1).Text(0, 1), "Y");
        Command().Allow(serial, c.readOnly, c.sessions, TDecisionSource::CommandLine);

        const std::string before = Descr();
        const THandheldFrame post =
            Request(handheld, "PDAPOST", WhereItem("WK", 0, "A1") + WhereItem("WF", 2, before + "x"));
        if (*c.postError) {
            EXPECT_EQ(post.Type, "PCERR");
            EXPECT_EQ(post.Text(1, 250), std::string("Error processing message, ") + c.postError);
            EXPECT_EQ(Descr(), before);
            const THandheldFrame del = Request(handheld, "PDADELETE", WhereItem("WK", 0, "A1"));
            EXPECT_EQ(del.Type, "PCERR");
            EXPECT_EQ(OdbcTestEnv::Get().QuerySql(GetParam(), "SELECT COUNT(*) FROM Stock")[0][0], "1");
        } else {
            EXPECT_EQ(post.Type, "PCCOUNT");
            EXPECT_EQ(Descr(), before + "x");
        }
        EXPECT_EQ(Request(handheld, "PDACOUNT", std::string(16, '0')).Type, "PCCOUNT") << "reading stays";
        const THandheldFrame two = Select(handheld, 2);
        if (std::string(c.select2) == "Y")
            EXPECT_EQ(two.Text(0, 1), "Y");
        else
            EXPECT_EQ(two.Text(1, 200), c.select2);
    }
}

TEST_P(DeviceAccessTest, RefusedOrForgottenWhileConnectedIsDisconnected) {
    for (const bool forget : {false, true}) {
        SCOPED_TRACE(forget ? "forgotten" : "refused");
        const std::string serial = forget ? "SN-F" : "SN-R";
        TTestHandheld handheld;
        LoggedIn(handheld, serial);
        WaitRecorded(serial);
        Command().Allow(serial, false, {}, TDecisionSource::CommandLine);
        ASSERT_EQ(Select(handheld, 1).Text(0, 1), "Y");
        if (forget)
            Command().Forget(serial, TDecisionSource::CommandLine);
        else
            Command().Refuse(serial, TDecisionSource::CommandLine);
        bool closed = false;
        EXPECT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
        EXPECT_TRUE(closed);
        EXPECT_EQ(
            test.LogCount(std::string(" ") + (forget ? "forgotten" : "refused") + ", connection closed"), 1);
        // It may come back: a refused device is told so, a forgotten one waits again.
        TTestHandheld again;
        LoggedIn(again, serial);
        EXPECT_EQ(Select(again, 1).Text(1, 200), forget ? kWaitingText : kRefusedText);
    }
}

TEST_P(DeviceAccessTest, PolicyAllowsTrustedNetworksTheAcceptWindowAndUpgradedFiles) {
    struct Case {
        const char* name;
        const char* from;
        std::function<void(DeviceAccessTest&)> arrange;
        const char* logged;
    };
    const Case cases[] = {
        {"trusted network", "127.0.0.1", [](DeviceAccessTest&) {},
         "allowed read-write (trusted network), by policy"},
        {"accept window", "127.0.0.2",
         [](DeviceAccessTest& t) {
             t.Command().SetAcceptNewUntil(QDateTime::currentDateTimeUtc().addSecs(60));
         },
         "allowed read-write (accepting new devices until "},
        {"upgraded file", "127.0.0.2",
         [](DeviceAccessTest& t) {
             t.Command().SetAcceptNewUntil({});
             t.Server().Access.Configured = false;
         },
         "allowed read-write (no [Access] section in the configuration file), by policy"},
        {"NewDevices=allow", "127.0.0.2",
         [](DeviceAccessTest& t) {
             t.Server().Access.Configured = true;
             t.Server().Access.NewDevices = TAccessPolicy::TNewDevices::Allow;
         },
         "allowed read-write (NewDevices=allow), by policy"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(*this);
        const std::string serial = "SN-P" + std::to_string(++round);
        TTestHandheld handheld;
        LoggedIn(handheld, serial, c.from);
        EXPECT_EQ(Select(handheld, 1).Text(0, 1), "Y");
        EXPECT_EQ(test.LogCount(c.logged), 1);
        WaitRecorded(serial);
        EXPECT_EQ(Command().Find(serial)->DecisionBy, "policy");
    }
    // A closed window lets no one in; what it let in stays allowed.
    Server().Access.NewDevices = TAccessPolicy::TNewDevices::Approve;
    Command().SetAcceptNewUntil(QDateTime::currentDateTimeUtc().addSecs(-1));
    TTestHandheld late;
    LoggedIn(late, "SN-LATE");
    EXPECT_EQ(Select(late, 1).Text(1, 200), kWaitingText);
    TTestHandheld earlier;
    LoggedIn(earlier, "SN-P2");
    EXPECT_EQ(Select(earlier, 1).Text(0, 1), "Y");
}

TEST_P(DeviceAccessTest, ConnectionsFromOutsideAllowedNetworksCloseAtOnceWithOneLogLine) {
    Server().Access.AllowedNetworks = TNetworkList::Parse("127.0.0.1/32");
    for (int i = 0; i < 3; ++i) {
        TTestHandheld outsider;
        outsider.BindAddress = "127.0.0.3";
        ASSERT_TRUE(outsider.Connect(test.Port()));
        bool closed = false;
        EXPECT_TRUE(RunPumping([&] { closed = outsider.WaitClosed(); }));
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(Server().Clients.empty());
    EXPECT_EQ(test.LogCount("Connection from 127.0.0.3 refused: not in AllowedNetworks (127.0.0.1/32)"), 1);
    TTestHandheld inside;
    LoggedIn(inside, "SN-IN", "127.0.0.1");
    EXPECT_EQ(Select(inside, 1).Text(0, 1), "Y");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DeviceAccessTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
