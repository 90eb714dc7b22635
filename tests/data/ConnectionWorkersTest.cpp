#include "DataTestFixture.h"

#include "data/Zel_ConnectionWorkers.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"

#include <chrono>
#include <future>
#include <system_error>

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

INSTANTIATE_TEST_SUITE_P(Drivers, ConnectionWorkersTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
