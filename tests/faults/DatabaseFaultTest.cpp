#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "InProcessServer.h"
#include "server/WirelessClient.h"
#include "support/ChildProcess.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/TempFolder.h"

// The database fails under an open session, one fault per case: the handheld
// gets an error reply that carries the database's own words, no row is ever
// half-written, and the session serves again once the fault is gone (after a
// new session selection where the connection itself was lost).

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

using TRows = std::vector<std::vector<std::string>>;

const TRows kInitialRows = {{"P1", "Bolt", "C1", "5"}, {"P2", "Nut", "C2", "7"}};

class DatabaseFaultTest;

struct DatabaseFault {
    const char* name;
    TestDriver driver;
    void (*run)(DatabaseFaultTest&);
};

void PrintTo(const DatabaseFault& fault, std::ostream* os) {
    *os << fault.name;
}

class DatabaseFaultTest : public ::testing::TestWithParam<DatabaseFault> {
public:
    static std::vector<std::string> CreateTable() {
        return {"DROP TABLE IF EXISTS Parts",
                "CREATE TABLE Parts (PartNo VARCHAR(20) PRIMARY KEY, Descr VARCHAR(40) NOT NULL, "
                "Code VARCHAR(20) UNIQUE, Qty INTEGER NOT NULL)",
                "INSERT INTO Parts VALUES ('P1', 'Bolt', 'C1', 5)",
                "INSERT INTO Parts VALUES ('P2', 'Nut', 'C2', 7)"};
    }

    void SetUp() override {
        OdbcTestEnv::Get().ExecSql(Driver(), CreateTable());
        server = std::make_unique<TInProcessServer>(
            "DatabaseFaults.ini", "[Session01]\r\nSessionName=Parts\r\nEnabled=1\r\nDSN=" + Dsn() +
                                      "\r\nTablename=Parts\r\nKeyFieldName=PartNo\r\nField01=Descr\r\n"
                                      "Field02=Code\r\nField03=Qty\r\n");
        client = server->Open(handheld, "anna", "SN-DB");
        ASSERT_NE(client, nullptr);
    }

    TestDriver Driver() const { return GetParam().driver; }
    std::string Dsn() const { return OdbcTestEnv::DsnName(GetParam().driver); }
    const char* ByDriver(const char* sqlite, const char* postgres) const {
        return Driver() == TestDriver::SQLite ? sqlite : postgres;
    }

    // The whole table, as the database holds it.
    TRows Rows() { return OdbcTestEnv::Get().QuerySql(Driver(), "SELECT * FROM Parts ORDER BY PartNo"); }

    THandheldFrame Request(const std::string& type, const std::string& payload) {
        return server->Exchange(handheld, type, payload);
    }
    THandheldFrame Post(const std::vector<std::pair<int, std::string>>& values) {
        return Request("PDAPOST", PostPayload(values));
    }
    THandheldFrame SelectAll() { return Request("PDASELECT", SelectPayload(0, 0, {1, 2, 3})); }
    THandheldFrame Reselect() {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] { reply = handheld.SelectSession(1); }));
        EXPECT_EQ(reply.Type, "PCSSEL");
        return reply;
    }

    // A "PCERR" for a failed request whose message holds every text.
    static void ExpectRequestError(const THandheldFrame& reply, const std::vector<std::string>& texts) {
        ASSERT_EQ(reply.Type, "PCERR") << "got " << reply.Type;
        const std::string message = reply.Text(1, 250);
        EXPECT_EQ(message.rfind("Error processing message, ", 0), 0u) << message;
        EXPECT_EQ(reply.Text(251, 250), "caller: Processing Message");
        for (const std::string& text : texts)
            EXPECT_NE(message.find(text), std::string::npos) << "[" << text << "] not in [" << message << "]";
    }

    // What a post failure names before the database's message.
    std::string PostFailure() const {
        return "Parts: Failure Posting data: [" + Dsn() + "] EDatabaseError: ";
    }

    // The session serves the next post and select.
    void ExpectServing(const std::vector<std::pair<int, std::string>>& post, const TRows& rowsAfter) {
        const THandheldFrame posted = Post(post);
        ASSERT_EQ(posted.Type, "PCCOUNT") << ErrorText(posted);
        EXPECT_EQ(posted.Text(0, 8), "00000001");
        const THandheldFrame selected = SelectAll();
        ASSERT_EQ(selected.Type, "PCDATA") << ErrorText(selected);
        const auto rows = ParseDataRows(selected.Payload);
        ASSERT_TRUE(rows.has_value());
        TRows seen;
        for (const auto& [number, values] : *rows)
            seen.push_back(values);
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, rowsAfter);
        EXPECT_EQ(Rows(), rowsAfter);
    }

    std::unique_ptr<TInProcessServer> server;
    TTestHandheld handheld;
    TZelWirelessClient* client = nullptr;
};

// The server's database goes away mid-session and comes back: requests fail
// with the driver's error, the selection fails while it is away, and the next
// selection afterwards works in the same running server.
void PostgresStoppedAndStarted(DatabaseFaultTest& t) {
    ASSERT_EQ(t.SelectAll().Type, "PCDATA");
    OdbcTestEnv::Get().StopPostgres();
    DatabaseFaultTest::ExpectRequestError(t.SelectAll(), {"EDatabaseError: "});
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P3"}, {1, "Washer"}, {2, "C3"}, {3, "1"}}),
                                          {"Parts: Failure Posting data: [" + t.Dsn() + "] "});
    const THandheldFrame away = t.Reselect();
    EXPECT_EQ(away.Text(0, 1), "N");
    EXPECT_EQ(away.Text(1, 200).rfind("Session not selected: EDatabaseError: ", 0), 0u) << away.Text(1, 200);
    EXPECT_EQ(t.client->State, csSessionSelected) << "a refused selection keeps the state";
    OdbcTestEnv::Get().StartPostgres();

    EXPECT_EQ(t.Rows(), kInitialRows);
    const THandheldFrame back = t.Reselect();
    EXPECT_EQ(back.Text(0, 1), "Y") << back.Text(1, 200);
    t.ExpectServing({{0, "P3"}, {1, "Washer"}, {2, "C3"}, {3, "1"}},
                    {kInitialRows[0], kInitialRows[1], {"P3", "Washer", "C3", "1"}});
}

// Another process holds the database's write lock longer than the busy
// timeout: reads and writes fail after the timeout; once it lets go the same
// session works on.
void SqliteLockedByAnotherProcess(DatabaseFaultTest& t) {
    TTempFolder folder;
    TChildProcess holder;
    const std::string output = folder.File("holder.txt");
    ASSERT_TRUE(holder.StartWithInput({ZEL_FAULT_HELPER, "sql", t.Dsn()}, {}, output));
    ASSERT_TRUE(holder.WriteInput("BEGIN EXCLUSIVE\n"));
    ASSERT_TRUE(WaitForText(output, "connected\nok\n")) << ReadAll(output);

    const auto started = std::chrono::steady_clock::now();
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P3"}, {1, "Washer"}, {2, "C3"}, {3, "1"}}),
                                          {t.PostFailure(), "locked"});
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P1"}, {3, "6"}}), {t.PostFailure(), "locked"});
    DatabaseFaultTest::ExpectRequestError(t.SelectAll(), {"EDatabaseError: ", "locked"});
    EXPECT_GE(std::chrono::steady_clock::now() - started,
              std::chrono::milliseconds(3 * OdbcTestEnv::SqliteTimeoutMs - 100));

    ASSERT_TRUE(holder.WriteInput("ROLLBACK\n"));
    holder.CloseInput();
    EXPECT_EQ(holder.Wait(10000), 0);
    EXPECT_EQ(t.Rows(), kInitialRows);
    t.ExpectServing({{0, "P3"}, {1, "Washer"}, {2, "C3"}, {3, "1"}},
                    {kInitialRows[0], kInitialRows[1], {"P3", "Washer", "C3", "1"}});
}

// Another process holds the row's lock longer than the lock timeout.
void PostgresRowLockedByAnotherProcess(DatabaseFaultTest& t) {
    TTempFolder folder;
    TChildProcess holder;
    const std::string output = folder.File("holder.txt");
    ASSERT_TRUE(holder.StartWithInput({ZEL_FAULT_HELPER, "sql", t.Dsn()}, {}, output));
    ASSERT_TRUE(holder.WriteInput("!autocommit off\nUPDATE Parts SET Qty = 50 WHERE PartNo = 'P1'\n"));
    ASSERT_TRUE(WaitForText(output, "connected\nok\nok\n")) << ReadAll(output);

    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P1"}, {1, "Bolt M6"}, {3, "6"}}),
                                          {t.PostFailure(), "lock timeout"});
    ASSERT_TRUE(holder.WriteInput("!rollback\n"));
    holder.CloseInput();
    EXPECT_EQ(holder.Wait(10000), 0);
    EXPECT_EQ(t.Rows(), kInitialRows);
    t.ExpectServing({{0, "P1"}, {1, "Bolt M6"}, {3, "6"}}, {{"P1", "Bolt M6", "C1", "6"}, kInitialRows[1]});
}

// The table goes while the session has it open: every request fails with the
// driver's words, the selection fails until the table is back, then works.
void TableDroppedUnderOpenSession(DatabaseFaultTest& t) {
    ASSERT_EQ(t.SelectAll().Type, "PCDATA");
    OdbcTestEnv::Get().ExecSql(t.Driver(), {"DROP TABLE Parts"});
    const std::string missing = t.ByDriver("no such table", "does not exist");
    DatabaseFaultTest::ExpectRequestError(t.SelectAll(), {"EDatabaseError: ", missing});
    DatabaseFaultTest::ExpectRequestError(t.Request("PDACOUNT", SelectPayload(0, 0, {})), {missing});
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P3"}, {1, "Washer"}, {2, "C3"}, {3, "1"}}),
                                          {t.PostFailure(), missing});
    DatabaseFaultTest::ExpectRequestError(t.Request("PDADELETE", PostPayload({{0, "P1"}})), {missing});
    const THandheldFrame gone = t.Reselect();
    EXPECT_EQ(gone.Text(0, 1), "N");
    EXPECT_NE(gone.Text(1, 200).find(missing), std::string::npos) << gone.Text(1, 200);

    OdbcTestEnv::Get().ExecSql(t.Driver(), DatabaseFaultTest::CreateTable());
    const THandheldFrame back = t.Reselect();
    EXPECT_EQ(back.Text(0, 1), "Y") << back.Text(1, 200);
    t.ExpectServing({{0, "P3"}, {1, "Washer"}, {2, "C3"}, {3, "1"}},
                    {kInitialRows[0], kInitialRows[1], {"P3", "Washer", "C3", "1"}});
}

// Posts that break a unique constraint, as a new row and as an update.
void PostViolatesUniqueConstraint(DatabaseFaultTest& t) {
    const std::string text = t.ByDriver("UNIQUE constraint failed", "duplicate key value");
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P3"}, {1, "Washer"}, {2, "C1"}, {3, "1"}}),
                                          {t.PostFailure(), text});
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P2"}, {1, "Nut M8"}, {2, "C1"}, {3, "8"}}),
                                          {t.PostFailure(), text});
    EXPECT_EQ(t.Rows(), kInitialRows);
    t.ExpectServing({{0, "P2"}, {1, "Nut M8"}, {2, "C8"}, {3, "8"}},
                    {kInitialRows[0], {"P2", "Nut M8", "C8", "8"}});
}

// Posts that leave a required column empty, as a new row and as an update.
void PostViolatesNotNullConstraint(DatabaseFaultTest& t) {
    const std::string text = t.ByDriver("NOT NULL constraint failed", "null value in column");
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P4"}, {2, "C4"}, {3, "1"}}), {t.PostFailure(), text});
    DatabaseFaultTest::ExpectRequestError(t.Post({{0, "P1"}, {1, "Bolt M6"}, {3, ""}}),
                                          {t.PostFailure(), text});
    EXPECT_EQ(t.Rows(), kInitialRows);
    t.ExpectServing({{0, "P4"}, {1, "Spring"}, {2, "C4"}, {3, "1"}},
                    {kInitialRows[0], kInitialRows[1], {"P4", "Spring", "C4", "1"}});
}

const DatabaseFault kDatabaseFaults[] = {
    {"PostgresStoppedAndStarted", TestDriver::PostgreSQL, PostgresStoppedAndStarted},
    {"SQLiteLockedByAnotherProcess", TestDriver::SQLite, SqliteLockedByAnotherProcess},
    {"PostgresRowLockedByAnotherProcess", TestDriver::PostgreSQL, PostgresRowLockedByAnotherProcess},
    {"TableDroppedUnderOpenSession_SQLite", TestDriver::SQLite, TableDroppedUnderOpenSession},
    {"TableDroppedUnderOpenSession_PostgreSQL", TestDriver::PostgreSQL, TableDroppedUnderOpenSession},
    {"PostViolatesUniqueConstraint_SQLite", TestDriver::SQLite, PostViolatesUniqueConstraint},
    {"PostViolatesUniqueConstraint_PostgreSQL", TestDriver::PostgreSQL, PostViolatesUniqueConstraint},
    {"PostViolatesNotNullConstraint_SQLite", TestDriver::SQLite, PostViolatesNotNullConstraint},
    {"PostViolatesNotNullConstraint_PostgreSQL", TestDriver::PostgreSQL, PostViolatesNotNullConstraint},
};

TEST_P(DatabaseFaultTest, ErrorReachesTheHandheldAndNothingIsHalfWritten) {
    GetParam().run(*this);
}

INSTANTIATE_TEST_SUITE_P(Faults, DatabaseFaultTest, ::testing::ValuesIn(kDatabaseFaults),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
