#include "DataTestFixture.h"

#include "data/Zel_ODBCTable.h"
#include "data/odbc/DatabaseError.h"

namespace {

using TableTest = DataTest;

// The values set for a write serve that one write: a write that fails
// leaves none behind that the next one would also write.
TEST_P(TableTest, ValuesServeOneWriteOnly) {
    TZel_ODBCTable& table = *m_session->Table();
    table.SetFieldText(table.FieldByName("qty"), "3");
    EXPECT_THROW(table.UpdateWhere("[Nope] = 1"), EDatabaseError);
    table.SetFieldText(table.FieldByName("descr"), "Renamed");
    EXPECT_EQ(table.UpdateWhere("[ItemNo] = 'A01'"), 1);
    table.SetFieldText(table.FieldByName("ItemNo"), "A01");
    EXPECT_THROW(table.InsertRow(), EDatabaseError); // the primary key refuses it
    table.SetFieldText(table.FieldByName("ItemNo"), "N01");
    EXPECT_EQ(table.InsertRow(), 1);
    EXPECT_EQ(Query("SELECT ItemNo, Descr, Qty FROM Stock WHERE ItemNo IN ('A01', 'N01') ORDER BY ItemNo"),
              (std::vector<std::vector<std::string>>{{"A01", "Renamed", "5"}, {"N01", "<null>", "<null>"}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, TableTest, ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
