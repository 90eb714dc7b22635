#include "DataTestFixture.h"

#include "data/odbc/DatabaseError.h"
#include "protocol/Zel_Lib.h"

namespace {

using QuerySelectTest = DataTest;

TEST_P(QuerySelectTest, ValuesReadAsTextTheSameOnEveryDriver) {
    TZel_Query query;
    AddSelect(query, {1, 2, 3, 4});
    AddWhere(query, 0, "A02");
    m_session->QuerySelect(query, false);
    ASSERT_EQ(query.Result.Rows.size(), 1u);
    EXPECT_EQ(query.Result.Rows[0], (TZel_QueryRow{"A02", "Widget large", "7", "12.50", "2024-02-29"}));

    TZel_Query nulls;
    AddSelect(nulls, {2, 3, 4});
    AddWhere(nulls, 0, "A07");
    m_session->QuerySelect(nulls, false);
    ASSERT_EQ(nulls.Result.Rows.size(), 1u);
    EXPECT_EQ(nulls.Result.Rows[0], (TZel_QueryRow{"A07", "", "", ""}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, QuerySelectTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
