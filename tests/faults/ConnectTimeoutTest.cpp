#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "FaultSupport.h"
#include "InProcessServer.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"
#include "support/SilentListener.h"

// A data source whose server takes the connection and then never answers
// (a hung host, a firewall that swallows the replies): the connect gives up
// after the login timeout instead of holding the server's only thread.

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

TEST(ConnectTimeoutTest, AServerThatNeverAnswersFailsTheConnectInSeconds) {
    TSilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    const std::string dsn = "ZelTestSilent";
    std::ofstream(OdbcTestEnv::Get().Folder() + "/odbc.ini", std::ios::app)
        << "[" << dsn << "]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=" << silent.Port()
        << "\nDatabase=zel\nUsername=zel\n";

    auto connection = std::make_shared<TOdbcConnection>(std::make_shared<TOdbcEnvironment>());
    auto attempt = std::async(std::launch::async, [connection, dsn] {
        try {
            connection->Open(dsn, "zel", "");
            return std::string("connected");
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    // Generous against a slow machine; without a timeout it never ends.
    const bool ended = attempt.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    silent.Close(); // ends a hanging attempt, so the test program can finish
    ASSERT_TRUE(ended) << "the connect is still waiting for the server";
    EXPECT_NE(attempt.get(), "connected");
    EXPECT_FALSE(connection->IsOpen());
}

} // namespace

namespace {

// A handheld's selection of a session whose data source never answers waits
// on a database worker: another handheld is served meanwhile, and the
// selection fails once the login timeout has passed.
TEST(ConnectTimeoutTest, ASelectionThatCannotConnectHoldsUpNoOtherHandheld) {
    TSilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    std::ofstream(OdbcTestEnv::Get().Folder() + "/odbc.ini", std::ios::app)
        << "[ZelTestSilentSelect]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=" << silent.Port()
        << "\nDatabase=zel\nUsername=zel\n";
    OdbcTestEnv::Get().ExecSql(TestDriver::SQLite, {"DROP TABLE IF EXISTS Bins",
                                                    "CREATE TABLE Bins (BinNo VARCHAR(8) PRIMARY KEY)",
                                                    "INSERT INTO Bins VALUES ('B1')"});
    TInProcessServer server(
        "Silent.ini",
        "[Session01]\r\nSessionName=Bins\r\nEnabled=1\r\nDSN=" + OdbcTestEnv::DsnName(TestDriver::SQLite) +
            "\r\nTablename=Bins\r\nKeyFieldName=BinNo\r\n"
            "[Session02]\r\nSessionName=Silent\r\nEnabled=1\r\nDSN=ZelTestSilentSelect\r\n"
            "Tablename=Bins\r\nKeyFieldName=BinNo\r\n");
    TTestHandheld selecting, other;
    ASSERT_NE(server.Open(selecting, "anna", "SN-A", 1), nullptr);
    ASSERT_NE(server.Open(other, "ben", "SN-B", 1), nullptr);

    THandheldFrame count, selected;
    bool selectionAnswered = true;
    ASSERT_TRUE(RunPumping(
        [&] {
            selecting.SendFrame("PDASSEL", SessionPayload("2", "Silent"));
            other.SendFrame("PDACOUNT", SelectPayload(0, 0, {}));
            count = other.ReadFrame();
            pollfd entry{selecting.Handle(), POLLIN, 0};
            selectionAnswered = ::poll(&entry, 1, 0) == 1;
            // The answer comes after the 5 s login timeout, which the
            // handheld's own 5 s receive timeout would not wait for.
            ::poll(&entry, 1, 30000);
            selected = selecting.ReadFrame();
        },
        30000));
    silent.Close();
    EXPECT_EQ(count.Type, "PCCOUNT") << ErrorText(count);
    EXPECT_EQ(count.Text(0, 8), "00000001");
    EXPECT_FALSE(selectionAnswered) << "the other handheld waited for the connect";
    ASSERT_EQ(selected.Type, "PCSSEL");
    EXPECT_EQ(selected.Text(0, 1), "N");
    EXPECT_EQ(selected.Text(1, 200).rfind("Session not selected: ", 0), 0u) << selected.Text(1, 200);
}

} // namespace
