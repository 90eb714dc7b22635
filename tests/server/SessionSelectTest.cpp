#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "base/WirelessPrefsMgr.h"
#include "data/Zel_ODBCSession.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"
#include "support/TestHandheld.h"
#include "support/TestPrefs.h"
#include "support/TestServer.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

// Sessions of the configuration file: 1 serves the table, 2 maps a column
// the table lacks, 3 is switched off, 4 names a data source that does not
// exist. 2, 3 and 4 map device field 2 to another column than 1 does.
std::string SessionSections(const std::string& dsn) {
    return StockSession(1, "Stock count", dsn) +
           "[Session02]\nSessionName=Stock missing\nEnabled=1\nDSN=" + dsn +
           "\nTablename=Stock\nKeyFieldName=ItemNo\nField01=ItemNo\nField02=Qty\nField03=Missing\n"
           "[Session03]\nSessionName=Inventory\nEnabled=0\nDSN=" +
           dsn +
           "\nTablename=Stock\nKeyFieldName=ItemNo\nField02=Qty\n"
           "[Session04]\nSessionName=Nowhere\nEnabled=1\nDSN=ZelNoSuchSource\nTablename=Stock\n"
           "KeyFieldName=ItemNo\nField02=Qty\n";
}

class SessionSelectTest : public ::testing::TestWithParam<TestDriver> {
protected:
    void SetUp() override {
        CreateStockTable(GetParam());
        prefs = std::make_unique<TTestPrefs>(OdbcTestEnv::Get().Folder(), "ZelWireless.ini",
                                             "Mar-07 14:05:09: \n" +
                                                 SessionSections(OdbcTestEnv::DsnName(GetParam())));
    }

    TZelWirelessClient* LoggedIn(TTestHandheld& handheld) {
        TZelWirelessClient* client = test.Connect(handheld);
        EXPECT_NE(client, nullptr);
        EXPECT_TRUE(RunPumping([&] {
            handheld.Hello();
            handheld.Login("anna", "SN-1");
        }));
        return client;
    }

    THandheldFrame Select(TTestHandheld& handheld, const std::string& number) {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] {
            handheld.SendFrame("PDASSEL", SessionPayload(number));
            reply = handheld.ReadFrame();
        }));
        EXPECT_EQ(reply.Type, "PCSSEL");
        EXPECT_EQ(reply.Payload.size(), 201u);
        return reply;
    }

    std::unique_ptr<TTestPrefs> prefs;
    TTestServer test;
};

// The shortest opening: greeting, login, selection; every byte after the
// greeting's reply scrambled both ways (the handheld unscrambles on its own).
TEST_P(SessionSelectTest, OpeningSelectsTheConfiguredSession) {
    TTestHandheld handheld;
    TZelWirelessClient* client = LoggedIn(handheld);
    ASSERT_NE(client, nullptr);
    const THandheldFrame reply = Select(handheld, "1");
    EXPECT_EQ(reply.Text(0, 1), "Y");
    EXPECT_EQ(reply.Text(1, 200), "Session selected: Stock count");
    EXPECT_EQ(client->State, csSessionSelected);
    EXPECT_TRUE(client->Session->IsConnected());
    EXPECT_EQ(client->PDASession.SessionNumber, 1);
    EXPECT_EQ(client->PDASession.SessionName, "test session");
    EXPECT_EQ(client->PDASession.PluginName, "plug");
    EXPECT_EQ(test.LogCount("anna@127.0.0.1 open Session01 (test session)"), 1);

    // A failed selection afterwards is answered "N" and keeps the state.
    const THandheldFrame again = Select(handheld, "2");
    EXPECT_EQ(again.Text(0, 1), "N");
    EXPECT_EQ(again.Text(1, 200), "Session not selected: Stock missing: Could not open [" +
                                      OdbcTestEnv::DsnName(GetParam()) +
                                      "] Exception: Field [Missing] not found in table [Stock]");
    EXPECT_EQ(client->State, csSessionSelected);
}

TEST_P(SessionSelectTest, RefusedSelectionsAnswerNo) {
    struct Case {
        const char* name;
        std::string number;
        std::string text;
        const char* section;
    } cases[] = {
        {"disabled", "3", "Session not selected: Session [Inventory] not enabled on server", "Session03"},
        {"blank number reads as 0", "     ",
         "Session not selected: Session [Session00] not enabled on server", "Session00"},
        {"no section", "123", "Session not selected: Session [Session123] not enabled on server",
         "Session123"},
    };
    TTestHandheld handheld;
    TZelWirelessClient* client = LoggedIn(handheld);
    ASSERT_NE(client, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const THandheldFrame reply = Select(handheld, c.number);
        EXPECT_EQ(reply.Text(0, 1), "N");
        EXPECT_EQ(reply.Text(1, 200), c.text);
        EXPECT_EQ(client->State, csLoggedIn);
        EXPECT_EQ(test.LogCount("ERROR: anna@127.0.0.1: " + c.text), 1);
        EXPECT_EQ(test.LogCount(std::string("anna@127.0.0.1 open ") + c.section + " (test session)"), 1);
    }
}

// A selection that fails leaves the handheld exactly the session it had:
// the same table and the same field map, so a later post writes the
// columns the handheld means.
TEST_P(SessionSelectTest, FailedSelectionKeepsThePreviousSessionWhole) {
    TTestHandheld handheld;
    TZelWirelessClient* client = LoggedIn(handheld);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(Select(handheld, "1").Text(0, 1), "Y");
    const TZel_ODBCSession* selected = client->Session.get();
    for (const char* number : {"2", "3", "4"}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(Select(handheld, number).Text(0, 1), "N");
        EXPECT_EQ(client->State, csSessionSelected);
        EXPECT_EQ(client->Session->SessionName, "Stock count");
        EXPECT_EQ(client->Session->FieldNames[2], "Descr");
        EXPECT_TRUE(client->Session->IsConnected());
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] {
            handheld.SendFrame("PDAPOST", WhereItem("WK", 0, "A1") + WhereItem("WF", 2, "9"));
            reply = handheld.ReadFrame();
        }));
        EXPECT_EQ(reply.Type, "PCCOUNT");
        EXPECT_EQ(OdbcTestEnv::Get().QuerySql(GetParam(), "SELECT Descr, Qty FROM Stock WHERE ItemNo = 'A1'"),
                  (std::vector<std::vector<std::string>>{{"9", "5"}}));
        OdbcTestEnv::Get().ExecSql(GetParam(), {"UPDATE Stock SET Descr = 'Bolts' WHERE ItemNo = 'A1'"});
    }
    EXPECT_EQ(client->Session.get(), selected);
}

INSTANTIATE_TEST_SUITE_P(Drivers, SessionSelectTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
