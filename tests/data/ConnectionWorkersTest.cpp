#include "DataTestFixture.h"

#include "data/Zel_ConnectionWorkers.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

// The database workers with real connections: what a job finds when it
// cannot be started, and which prepared statements outlive a table's reopening.

namespace {

using ConnectionWorkersTest = DataTest;

// Runs fn on a worker and waits for it.
void RunOnWorker(TZel_ConnectionWorkers& workers, std::function<void(TOdbcConnection&)> fn) {
    std::promise<void> done;
    workers.Submit(
        [&](const TZel_ConnectionWorkers::Connect& connect) {
            fn(*connect());
            done.set_value();
            return TZel_ConnectionWorkers::Then();
        },
        TZel_ConnectionWorkers::TJobKind::Read, "stock");
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_P(ConnectionWorkersTest, AJobWhoseThreadCannotStartIsNeverRun) {
    TZel_ConnectionWorkers workers(std::make_shared<TOdbcEnvironment>(), Dsn(), "", "", 0);
    const auto start = workers.StartThread;
    workers.StartThread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    bool failedJobRan = false;
    EXPECT_THROW(workers.Submit(
                     [&](const TZel_ConnectionWorkers::Connect&) {
                         failedJobRan = true;
                         return TZel_ConnectionWorkers::Then();
                     },
                     TZel_ConnectionWorkers::TJobKind::Read, "stock"),
                 std::system_error);
    EXPECT_TRUE(workers.IsIdle());
    workers.StartThread = start;
    RunOnWorker(workers, [](TOdbcConnection&) {});
    EXPECT_TRUE(workers.Stop(std::chrono::seconds(10)));
    EXPECT_FALSE(failedJobRan);
}

TEST_P(ConnectionWorkersTest, ReopeningAnUnchangedTableKeepsItsPreparedStatements) {
    // Every handheld's session selection opens the table afresh.
    auto first = OpenSession(2);
    auto connection = first->Connection();
    ASSERT_NE(connection, nullptr);
    TZel_Query query;
    first->QueryCount(query);
    const size_t cached = connection->CachedStatementCount();
    ASSERT_GT(cached, 0u);
    ASSERT_TRUE(first->OpenTable());
    ASSERT_EQ(first->Connection(), connection);
    EXPECT_EQ(connection->CachedStatementCount(), cached);
    // A changed shape drops them.
    connection->NoteTableShape(connection->QuoteIdentifier(connection->CatalogTableName("Stock")), "changed");
    EXPECT_EQ(connection->CachedStatementCount(), cached - 1);
}

TEST(ConnectionWorkersLimitTest, ALoadLimitTakesTheShareOfTheServersLimitWithinTheMachinesBound) {
    EXPECT_EQ(TZel_ConnectionWorkers::LoadLimit(10, 25), 2);
    EXPECT_EQ(TZel_ConnectionWorkers::LoadLimit(1, 25), 1) << "never none";
    EXPECT_GE(TZel_ConnectionWorkers::LoadLimit(0, 25), 4) << "unknown: the machine bounds it";
    EXPECT_LE(TZel_ConnectionWorkers::LoadLimit(100000, 100), 64);
    EXPECT_EQ(TZel_ConnectionWorkers::LoadLimit(100000, 100), TZel_ConnectionWorkers::LoadLimit(0, 25));
}

// Client connections of the test database, this test's and the environment's.
int ServerConnections() {
    const auto rows = OdbcTestEnv::Get().QuerySql(TestDriver::PostgreSQL,
                                                  "SELECT count(*) FROM pg_stat_activity WHERE datname = "
                                                  "current_database() AND backend_type = 'client backend'");
    return rows.empty() ? -1 : std::stoi(rows[0][0]);
}

TEST_P(ConnectionWorkersTest, ADatabaseServersConnectionsFollowTheLoadWithinTheirShareAndCloseWhenIdle) {
    if (GetParam() != TestDriver::PostgreSQL)
        GTEST_SKIP() << "a SQLite file keeps its writer and reader";
    const int before = ServerConnections();
    const auto maxConnections =
        std::stoi(OdbcTestEnv::Get().QuerySql(TestDriver::PostgreSQL, "SHOW max_connections")[0][0]);
    // A share that gives 3 connections of this server, below any machine's bound.
    const int share = (3 * 100 + maxConnections - 1) / maxConnections;
    const int expected = TZel_ConnectionWorkers::LoadLimit(maxConnections, share);
    ASSERT_EQ(expected, 3);
    TZel_ConnectionWorkers workers(std::make_shared<TOdbcEnvironment>(), Dsn(), "", "", 0, 0, share);
    workers.IdleClose = std::chrono::milliseconds(300);
    RunOnWorker(workers, [](TOdbcConnection&) {});
    EXPECT_EQ(workers.Limit(), expected) << "the first connection asked the server";
    EXPECT_EQ(workers.ThreadCount(), 1);

    // Twice as many requests as the limit wait in the database at once; two tables, as handhelds' sessions
    // do.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex lock;
    int running = 0, most = 0, done = 0;
    std::condition_variable changed;
    for (int i = 0; i < 2 * expected; ++i)
        workers.Submit(
            [&](const TZel_ConnectionWorkers::Connect& connect) {
                connect();
                {
                    std::lock_guard guard(lock);
                    most = std::max(most, ++running);
                }
                changed.notify_all();
                released.wait();
                std::lock_guard guard(lock);
                --running;
                ++done;
                changed.notify_all();
                return TZel_ConnectionWorkers::Then();
            },
            TZel_ConnectionWorkers::TJobKind::Read, i % 2 ? "stock" : "other");
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return running == expected; }));
    }
    EXPECT_EQ(workers.ThreadCount(), expected);
    EXPECT_EQ(ServerConnections(), before + expected);
    release.set_value();
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return done == 2 * expected; }));
        EXPECT_EQ(most, expected) << "never more than the limit";
    }
    // Idle again: all but the first end with their connections.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((workers.ThreadCount() > 1 || ServerConnections() > before + 1) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(workers.ThreadCount(), 1);
    EXPECT_EQ(ServerConnections(), before + 1);
    // And they come back with the next load.
    RunOnWorker(workers, [](TOdbcConnection&) {});
    EXPECT_TRUE(workers.Stop(std::chrono::seconds(10)));
    EXPECT_EQ(ServerConnections(), before);
}

INSTANTIATE_TEST_SUITE_P(Drivers, ConnectionWorkersTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
