#include "DataTestFixture.h"

#include "data/Zel_ODBCTable.h"
#include "data/odbc/DatabaseError.h"

namespace {

using TableCursorTest = DataTest;

std::vector<std::string> Walk(TZel_ODBCTable& table) {
    std::vector<std::string> keys;
    for (table.First(); !table.Eof(); table.Next())
        keys.push_back(table.FieldText(0));
    return keys;
}

TEST_P(TableCursorTest, NavigatesFilteredAndSortedRows) {
    TZel_ODBCTable& table = *m_session->Table();
    EXPECT_EQ(table.State(), dsBrowse);
    table.SetFilter("[Descr] LIKE 'Widget%' AND NOT [Qty] = 7");
    table.SetFiltered(true);
    table.SetSort("Qty");
    EXPECT_EQ(Walk(table), (std::vector<std::string>{"A08", "A04", "A01"}));
    EXPECT_EQ(table.RecordCount(), 3);
    table.SetFiltered(false);
    table.SetSort("");
    EXPECT_EQ(table.RecordCount(), 10);
    EXPECT_EQ(Walk(table).size(), 10u);
}

TEST_P(TableCursorTest, EditInsertDeleteAndCancel) {
    TZel_ODBCTable& table = *m_session->Table();
    int descr = table.FieldByName("descr");
    int qty = table.FieldByName("QTY");
    table.SetFilter("[ItemNo] = 'A03'");
    table.SetFiltered(true);
    table.First();
    table.Edit();
    EXPECT_EQ(table.State(), dsEdit);
    table.SetFieldText(descr, "Edited");
    table.SetFieldText(qty, "");
    EXPECT_EQ(table.Post(), 1);
    EXPECT_EQ(table.State(), dsBrowse);
    EXPECT_EQ(table.FieldText(descr), "Edited");
    EXPECT_EQ(Query("SELECT Descr, Qty FROM Stock WHERE ItemNo = 'A03'"),
              (std::vector<std::vector<std::string>>{{"Edited", "<null>"}}));

    table.Edit();
    table.SetFieldText(descr, "Never");
    table.Cancel();
    EXPECT_EQ(table.FieldText(descr), "Edited");

    table.Insert();
    table.SetFieldText(0, "N09");
    table.SetFieldText(descr, "Inserted");
    EXPECT_EQ(table.Post(), 1);
    EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo = 'N09'")[0][0], "Inserted");

    table.First();
    table.Delete();
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE ItemNo = 'A03'")[0][0], "0");
    EXPECT_THROW(table.SetFieldText(descr, "x"), EDatabaseError); // not editing
}

// Without a key the row is found by all its values; a change that would hit
// two identical rows is refused and nothing is written.
TEST_P(TableCursorTest, RowWithoutKeyIsChangedOnlyWhenUnique) {
    Exec({"DROP TABLE IF EXISTS Loose", "CREATE TABLE Loose (Name varchar(10), Amount integer)",
          "INSERT INTO Loose VALUES ('twin', 1)", "INSERT INTO Loose VALUES ('twin', 1)",
          "INSERT INTO Loose VALUES ('single', NULL)"});
    WriteSession(6, "Name", {"Amount"}, "Loose");
    auto session = OpenSession(6);
    TZel_ODBCTable& table = *session->Table();
    table.SetSort("Name");
    table.First();
    EXPECT_EQ(table.FieldText(0), "single");
    table.Edit();
    table.SetFieldText(1, "5");
    EXPECT_EQ(table.Post(), 1);
    table.Next();
    EXPECT_EQ(table.FieldText(0), "twin");
    table.Edit();
    table.SetFieldText(1, "9");
    EXPECT_THROW(table.Post(), EDatabaseError);
    EXPECT_THROW(table.Delete(), EDatabaseError);
    EXPECT_EQ(Query("SELECT Name, Amount FROM Loose ORDER BY Name, Amount"),
              (std::vector<std::vector<std::string>>{{"single", "5"}, {"twin", "1"}, {"twin", "1"}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, TableCursorTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
