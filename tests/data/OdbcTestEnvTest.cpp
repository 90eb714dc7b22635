#include "support/OdbcTestEnv.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

class OdbcTestEnvTest : public ::testing::TestWithParam<TestDriver> {};

TEST_P(OdbcTestEnvTest, DataSourceIsTheTemporaryOneAndAnswers) {
    OdbcTestEnv& env = OdbcTestEnv::Get();
    env.Prepare(GetParam());
    EXPECT_EQ(std::string(std::getenv("ODBCINI")), env.Folder() + "/odbc.ini");
    env.ExecSql(GetParam(), {"DROP TABLE IF EXISTS envcheck", "CREATE TABLE envcheck (a integer)",
                             "INSERT INTO envcheck VALUES (41)"});
    EXPECT_EQ(env.QuerySql(GetParam(), "SELECT a + 1 FROM envcheck")[0][0], "42");
}

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcTestEnvTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
