#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FaultSupport.h"
#include "InProcessServer.h"
#include "base/Zel_EventLogger.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/ChildProcess.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/TempFolder.h"

// Database work runs on worker threads: a handheld whose statement waits
// holds up no other handheld, each handheld's requests are answered in the
// order sent, and a handheld that goes while its statement runs is never
// touched again. Sanitizer runs of these tests check the memory and the
// hand-over between threads.

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

const std::vector<std::string> kCreateParts = {
    "DROP TABLE IF EXISTS Parts",
    "CREATE TABLE Parts (PartNo VARCHAR(20) PRIMARY KEY, Descr VARCHAR(40), Qty INTEGER)",
    "INSERT INTO Parts VALUES ('P1', 'Bolt', 5)",
    "INSERT INTO Parts VALUES ('P2', 'Nut', 7)",
    "DROP TABLE IF EXISTS Other",
    "CREATE TABLE Other (Code VARCHAR(20) PRIMARY KEY, Descr VARCHAR(40))",
    "INSERT INTO Other VALUES ('O1', 'One')",
    "DROP VIEW IF EXISTS Slow"};

// A view whose count runs for minutes or for ever: a stuck statement.
const std::map<TestDriver, std::string> kCreateSlow = {
    {TestDriver::SQLite,
     "CREATE VIEW Slow AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) "
     "SELECT CAST(x AS VARCHAR(20)) AS Code, 'd' AS Descr FROM n"},
    {TestDriver::PostgreSQL,
     "CREATE VIEW Slow AS SELECT CAST(g AS VARCHAR(20)) AS Code, CAST('d' AS VARCHAR(40)) "
     "AS Descr FROM generate_series(1, 2000000000) g"}};

// Sessions 1, 3, 5 on SQLite, 2, 4, 6 on PostgreSQL: Parts, Other, Slow.
std::string Sessions() {
    std::string sections;
    const std::pair<const char*, const char*> tables[] = {
        {"Parts", "PartNo"}, {"Other", "Code"}, {"Slow", "Code"}};
    for (int t = 0; t < 3; ++t) {
        for (TestDriver driver : {TestDriver::SQLite, TestDriver::PostgreSQL}) {
            const int number = 2 * t + (driver == TestDriver::SQLite ? 1 : 2);
            sections += "[Session0" + std::to_string(number) + "]\r\nSessionName=" + tables[t].first + " " +
                        std::to_string(number) + "\r\nEnabled=1\r\nDSN=" + OdbcTestEnv::DsnName(driver) +
                        "\r\nTablename=" + tables[t].first + "\r\nKeyFieldName=" + tables[t].second +
                        "\r\nField01=Descr\r\n" + (t == 0 ? "Field02=Qty\r\n" : "");
        }
    }
    return sections;
}

int SessionOf(TestDriver driver) {
    return driver == TestDriver::SQLite ? 1 : 2;
}

int OtherSessionOf(TestDriver driver) {
    return SessionOf(driver) + 2;
}

int SlowSessionOf(TestDriver driver) {
    return SessionOf(driver) + 4;
}

// Whether a byte from the server waits at the handheld now.
bool HasReply(const TTestHandheld& handheld) {
    pollfd entry{handheld.Handle(), POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
}

// Another program holding a lock:
// - Row: what a post of P1 waits for: the whole SQLite file, or the PostgreSQL row;
// - Writers: what a post of P1 waits for while others may still read: the
//   SQLite file's write lock, or the PostgreSQL row;
// - Table: what even reading Parts waits for.
class TLockHolder {
public:
    enum THold { Row, Writers, Table };
    explicit TLockHolder(TestDriver driver, THold hold = Row) : m_driver(driver) {
        const std::string output = m_folder.File("holder.txt");
        EXPECT_TRUE(
            m_holder.StartWithInput({ZEL_FAULT_HELPER, "sql", OdbcTestEnv::DsnName(driver)}, {}, output));
        if (driver == TestDriver::SQLite && hold != Writers) {
            EXPECT_TRUE(m_holder.WriteInput("BEGIN EXCLUSIVE\n"));
            EXPECT_TRUE(WaitForText(output, "connected\nok\n")) << ReadAll(output);
        } else if (driver == TestDriver::SQLite) {
            EXPECT_TRUE(
                m_holder.WriteInput("BEGIN IMMEDIATE\nUPDATE Parts SET Qty = 50 WHERE PartNo = 'P1'\n"));
            EXPECT_TRUE(WaitForText(output, "connected\nok\nok\n")) << ReadAll(output);
        } else {
            EXPECT_TRUE(m_holder.WriteInput(
                hold == Table ? "!autocommit off\nLOCK TABLE Parts IN ACCESS EXCLUSIVE MODE\n"
                              : "!autocommit off\nUPDATE Parts SET Qty = 50 WHERE PartNo = 'P1'\n"));
            EXPECT_TRUE(WaitForText(output, "connected\nok\nok\n")) << ReadAll(output);
        }
    }
    ~TLockHolder() { Release(); }

    void Release() {
        if (m_released)
            return;
        m_released = true;
        m_holder.WriteInput(m_driver == TestDriver::SQLite ? "ROLLBACK\n" : "!rollback\n");
        m_holder.CloseInput();
        EXPECT_EQ(m_holder.Wait(10000), 0);
    }

private:
    TestDriver m_driver;
    TTempFolder m_folder;
    TChildProcess m_holder;
    bool m_released = false;
};

class WorkerFixture : public ::testing::Test {
public:
    void SetUp() override {
        for (TestDriver driver : {TestDriver::SQLite, TestDriver::PostgreSQL})
            OdbcTestEnv::Get().ExecSql(driver, kCreateParts);
        server = std::make_unique<TInProcessServer>("Workers.ini", Sessions());
    }

    TZelWirelessServer& Server() { return server->Test.Server(); }
    // Serves events until every statement has ended and its result arrived.
    void WaitForWorkers() {
        EXPECT_TRUE(PumpUntil([this] { return Server().ConnectionPool.WorkersIdle(); }, 10000));
        PumpFor(50);
    }

    std::unique_ptr<TInProcessServer> server;
};

class DatabaseWorkerTest : public WorkerFixture, public ::testing::WithParamInterface<TestDriver> {};

const std::string kPostP1 = PostPayload({{0, "P1"}, {1, "Bolt M6"}});

TEST_P(DatabaseWorkerTest, AHandheldWaitingForALockHoldsUpNoOtherHandheld) {
    // On SQLite the other handheld uses another data source (the file is
    // locked whole); on PostgreSQL the same one, through another connection.
    const TestDriver locked = GetParam();
    TTestHandheld waiting, other;
    ASSERT_NE(server->Open(waiting, "anna", "SN-A", SessionOf(locked)), nullptr);
    ASSERT_NE(server->Open(other, "ben", "SN-B", SessionOf(TestDriver::PostgreSQL)), nullptr);
    TLockHolder holder(locked);

    THandheldFrame count, posted;
    bool waitingAnswered = true;
    ASSERT_TRUE(RunPumping([&] {
        waiting.SendFrame("PDAPOST", kPostP1);
        other.SendFrame("PDACOUNT", SelectPayload(0, 0, {}));
        count = other.ReadFrame();
        waitingAnswered = HasReply(waiting);
        posted = waiting.ReadFrame();
    }));
    EXPECT_EQ(count.Type, "PCCOUNT") << ErrorText(count);
    EXPECT_EQ(count.Text(0, 8), "00000002");
    EXPECT_FALSE(waitingAnswered) << "the other handheld was answered only after the lock wait";
    EXPECT_EQ(posted.Type, "PCERR");
    EXPECT_NE(ErrorText(posted).find(locked == TestDriver::SQLite ? "locked" : "lock timeout"),
              std::string::npos)
        << ErrorText(posted);
}

TEST_P(DatabaseWorkerTest, RequestsSentTogetherAreAnsweredInOrder) {
    TTestHandheld handheld;
    ASSERT_NE(server->Open(handheld, "anna", "SN-A", SessionOf(GetParam())), nullptr);
    std::vector<THandheldFrame> replies;
    ASSERT_TRUE(RunPumping([&] {
        std::string frames = BuildFrame("PDAPOST", PostPayload({{0, "P3"}, {1, "Washer"}, {2, "9"}})) +
                             BuildFrame("PDASELECT", SelectPayload(0, 0, {1, 2}, {{0, "P3"}})) +
                             BuildFrame("PDADELETE", PostPayload({{0, "P3"}})) +
                             BuildFrame("PDACOUNT", SelectPayload(0, 0, {}));
        // One write: the server has every request before the first ends.
        handheld.SendBytes(frames);
        for (int i = 0; i < 4; ++i)
            replies.push_back(handheld.ReadFrame());
    }));
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0].Type, "PCCOUNT") << ErrorText(replies[0]);
    ASSERT_EQ(replies[1].Type, "PCDATA") << ErrorText(replies[1]);
    const auto rows = ParseDataRows(replies[1].Payload);
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(*rows, (std::map<int, std::vector<std::string>>{{0, {"P3", "Washer", "9"}}}));
    EXPECT_EQ(replies[2].Type, "PCCOUNT");
    EXPECT_EQ(replies[2].Text(0, 8), "00000001") << "the delete ran after the post";
    EXPECT_EQ(replies[3].Type, "PCCOUNT");
    EXPECT_EQ(replies[3].Text(0, 8), "00000002") << "the count ran after the delete";
}

TEST_P(DatabaseWorkerTest, HandheldsWaitingOnOneTableHoldUpNoOtherTableOfTheDataSource) {
    // More handhelds wait for the lock than the data source has connections;
    // a count on another table of the same data source is answered at once.
    const TestDriver driver = GetParam();
    std::vector<std::unique_ptr<TTestHandheld>> waiting;
    for (int i = 0; i < 5; ++i) {
        waiting.push_back(std::make_unique<TTestHandheld>());
        const std::string n = std::to_string(i);
        ASSERT_NE(server->Open(*waiting.back(), "user" + n, "SN-W" + n, SessionOf(driver)), nullptr);
    }
    TTestHandheld other;
    ASSERT_NE(server->Open(other, "ben", "SN-B", OtherSessionOf(driver)), nullptr);
    TLockHolder holder(driver, TLockHolder::Writers);

    THandheldFrame count;
    std::vector<THandheldFrame> posted;
    bool waitingAnswered = false;
    ASSERT_TRUE(RunPumping(
        [&] {
            for (auto& handheld : waiting)
                handheld->SendFrame("PDAPOST", kPostP1);
            // The posts are with the workers before the count comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            other.SendFrame("PDACOUNT", SelectPayload(0, 0, {}));
            count = other.ReadFrame();
            for (auto& handheld : waiting)
                waitingAnswered = waitingAnswered || HasReply(*handheld);
            holder.Release();
            for (auto& handheld : waiting)
                posted.push_back(handheld->ReadFrame());
        },
        30000));
    EXPECT_EQ(count.Type, "PCCOUNT") << ErrorText(count);
    EXPECT_EQ(count.Text(0, 8), "00000001");
    EXPECT_FALSE(waitingAnswered) << "the count was answered only after a lock wait ended";
    for (const THandheldFrame& reply : posted)
        EXPECT_EQ(reply.Type, "PCCOUNT") << ErrorText(reply);
}

TEST_P(DatabaseWorkerTest, AStuckStatementEndsWithAnErrorAfterTheStatementTimeout) {
    const TestDriver driver = GetParam();
    OdbcTestEnv::Get().ExecSql(driver, {kCreateSlow.at(driver)});
    Server().StatementTimeout = 1;
    TTestHandheld handheld, other;
    ASSERT_NE(server->Open(handheld, "anna", "SN-A", SlowSessionOf(driver)), nullptr);
    const THandheldFrame count = server->Exchange(handheld, "PDACOUNT", SelectPayload(0, 0, {}));
    ASSERT_EQ(count.Type, "PCERR");
    // The connection serves the next request.
    ASSERT_NE(server->Open(other, "ben", "SN-B", SessionOf(driver)), nullptr);
    const THandheldFrame next = server->Exchange(other, "PDACOUNT", SelectPayload(0, 0, {}));
    EXPECT_EQ(next.Type, "PCCOUNT") << ErrorText(next);
}

TEST_P(DatabaseWorkerTest, AClientClosedWhileItsSessionSelectionRunsStaysClosed) {
    const TestDriver driver = GetParam();
    TTestHandheld handheld;
    TZelWirelessClient* client = server->Open(handheld, "anna", "SN-A", SessionOf(driver));
    ASSERT_NE(client, nullptr);
    TLockHolder holder(driver, TLockHolder::Table);
    ASSERT_TRUE(handheld.SendFrame("PDASSEL", SessionPayload(std::to_string(SessionOf(driver)))));
    ASSERT_TRUE(PumpUntil([&] { return !Server().ConnectionPool.WorkersIdle(); }));
    client->CloseConnection(); // the operator's disconnect
    holder.Release();
    WaitForWorkers();
    // Still listed until the monitor's clean-up, but closed: freed there and
    // not counted against the client limit.
    EXPECT_EQ(client->State, csClosed);
    EXPECT_EQ(Server().RemoveClosedClients(), 1);
}

TEST_F(WorkerFixture, ASQLiteFilesWritesRunOneAtATimeHoweverManyConnectionsItHas) {
    Server().ConnectionsPerDataSource = 8;
    constexpr int kHandhelds = 4;
    constexpr int kKeys = 10;
    std::vector<std::unique_ptr<TTestHandheld>> handhelds;
    for (int i = 0; i < kHandhelds; ++i) {
        handhelds.push_back(std::make_unique<TTestHandheld>());
        const std::string n = std::to_string(i);
        ASSERT_NE(server->Open(*handhelds.back(), "user" + n, "SN-" + n, SessionOf(TestDriver::SQLite)),
                  nullptr);
    }
    std::vector<THandheldFrame> replies;
    ASSERT_TRUE(RunPumping(
        [&] {
            // Every handheld posts every new key, all at the same moment.
            for (int key = 0; key < kKeys; ++key) {
                const std::string post = PostPayload({{0, "N" + std::to_string(key)}, {1, "New"}});
                for (auto& handheld : handhelds)
                    handheld->SendFrame("PDAPOST", post);
                for (auto& handheld : handhelds)
                    replies.push_back(handheld->ReadFrame());
            }
        },
        60000));
    for (const THandheldFrame& reply : replies)
        EXPECT_EQ(reply.Type, "PCCOUNT") << ErrorText(reply);
    EXPECT_EQ(
        OdbcTestEnv::Get().QuerySql(
            TestDriver::SQLite, "SELECT COUNT(*), COUNT(DISTINCT PartNo) FROM Parts WHERE PartNo LIKE 'N%'"),
        (std::vector<std::vector<std::string>>{{std::to_string(kKeys), std::to_string(kKeys)}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, DatabaseWorkerTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL));

// A handheld leaves the server while its post waits for a lock: the result
// is dropped, nothing touches the freed client, and the others are served.
struct TGoneWhileWaiting {
    const char* name;
    void (*leave)(TInProcessServer& server, TTestHandheld& leaving, TZelWirelessClient* client);
};

void PrintTo(const TGoneWhileWaiting& c, std::ostream* os) {
    *os << c.name;
}

class GoneWhileWaitingTest : public WorkerFixture, public ::testing::WithParamInterface<TGoneWhileWaiting> {};

const TGoneWhileWaiting kGoneWhileWaiting[] = {
    {"Disconnects", [](TInProcessServer&, TTestHandheld& leaving, TZelWirelessClient*) { leaving.Close(); }},
    {"DroppedByALoginWithItsSerial",
     [](TInProcessServer& server, TTestHandheld&, TZelWirelessClient*) {
         TTestHandheld again;
         ASSERT_NE(server.Open(again, "anna", "SN-A", 2), nullptr);
     }},
    {"FreedByTheServer",
     [](TInProcessServer& server, TTestHandheld&, TZelWirelessClient* client) {
         auto& clients = server.Test.Server().Clients;
         for (size_t i = 0; i < clients.size(); ++i)
             if (clients[i].get() == client)
                 server.Test.Server().FreeClient(i);
     }},
};

TEST_P(GoneWhileWaitingTest, ItsResultIsDroppedAndOthersAreServed) {
    TTestHandheld leaving, other;
    TZelWirelessClient* client = server->Open(leaving, "anna", "SN-A", 1);
    ASSERT_NE(client, nullptr);
    ASSERT_NE(server->Open(other, "ben", "SN-B", 2), nullptr);
    TLockHolder holder(TestDriver::SQLite);
    SetVerbose(true); // the post logs its filter on the worker
    ASSERT_TRUE(leaving.SendFrame("PDAPOST", kPostP1));
    ASSERT_TRUE(PumpUntil([&] { return !Server().ConnectionPool.WorkersIdle(); }));
    GetParam().leave(*server, leaving, client);
    holder.Release();
    WaitForWorkers();
    SetVerbose(false);
    // What the statement did is logged although nobody gets the reply.
    EXPECT_EQ(server->Test.LogCount("POST Filter: "), 1);

    const THandheldFrame count = server->Exchange(other, "PDACOUNT", SelectPayload(0, 0, {}));
    EXPECT_EQ(count.Type, "PCCOUNT") << ErrorText(count);
}

INSTANTIATE_TEST_SUITE_P(Cases, GoneWhileWaitingTest, ::testing::ValuesIn(kGoneWhileWaiting));

TEST_F(WorkerFixture, DisablingTheServerAnswersTheRunningRequestFirst) {
    TTestHandheld handheld;
    ASSERT_NE(server->Open(handheld, "anna", "SN-A", 1), nullptr);
    TLockHolder holder(TestDriver::SQLite);
    ASSERT_TRUE(handheld.SendFrame("PDAPOST", kPostP1));
    ASSERT_TRUE(PumpUntil([&] { return !Server().ConnectionPool.WorkersIdle(); }));
    Server().SetEnabled(false);
    holder.Release();
    THandheldFrame posted, disabled;
    ASSERT_TRUE(RunPumping([&] {
        posted = handheld.ReadFrame();
        disabled = handheld.ReadFrame();
    }));
    EXPECT_EQ(posted.Type, "PCCOUNT") << ErrorText(posted);
    ASSERT_EQ(disabled.Type, "PCERR");
    EXPECT_EQ(disabled.Text(1, 250), Server().DisabledMessage);
    EXPECT_EQ(disabled.Text(251, 250), "Server shutdown");
}

TEST_F(WorkerFixture, ExitWaitsForTheRunningStatementAndSendsItsReply) {
    TTestHandheld handheld;
    ASSERT_NE(server->Open(handheld, "anna", "SN-A", 1), nullptr);
    TLockHolder holder(TestDriver::SQLite);
    ASSERT_TRUE(handheld.SendFrame("PDAPOST", kPostP1));
    ASSERT_TRUE(PumpUntil([&] { return !Server().ConnectionPool.WorkersIdle(); }));
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        holder.Release();
    });
    server.reset(); // waits for the post, sends its reply, then frees the client
    release.join();
    const THandheldFrame posted = handheld.ReadFrame();
    EXPECT_EQ(posted.Type, "PCCOUNT") << ErrorText(posted);
    EXPECT_EQ(OdbcTestEnv::Get().QuerySql(TestDriver::SQLite, "SELECT Descr FROM Parts WHERE PartNo = 'P1'"),
              (std::vector<std::vector<std::string>>{{"Bolt M6"}}));
}

} // namespace
