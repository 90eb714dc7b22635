#include "DataTestFixture.h"

#include "base/Exception.h"
#include "data/odbc/DatabaseError.h"

#include <chrono>

namespace {

using QueryPostTest = DataTest;

std::string PostFailure(TZel_ODBCSession& session, TZel_Query& query) {
    try {
        session.QueryPost(query);
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "Exception");
        return e.what();
    }
    return "no failure";
}

TEST_P(QueryPostTest, KeyMatchingOneRowUpdatesIt) {
    TZel_Query query;
    AddWhere(query, 0, "A03");
    AddWhere(query, 2, "42");
    AddWhere(query, 3, "8.05");
    m_session->QueryPost(query);
    EXPECT_EQ(query.Result.StartRow, 0);
    EXPECT_EQ(query.Result.EndRow, 0);
    auto rows = Query("SELECT Descr, Qty, Price FROM Stock WHERE ItemNo = 'A03'");
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"Gadget", "42", "8.05"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "10");
}

TEST_P(QueryPostTest, UnknownKeyOrNoKeyInsertsWithAllWhereValues) {
    TZel_Query query;
    AddWhere(query, 0, "N01");
    AddWhere(query, 1, "New thing");
    AddWhere(query, 4, "2025-01-31");
    m_session->QueryPost(query);
    EXPECT_EQ(Query("SELECT Descr, Received FROM Stock WHERE ItemNo = 'N01'"),
              (std::vector<std::vector<std::string>>{{"New thing", "2025-01-31"}}));

    // Without a field-0 entry a post always inserts, even when a row has the values.
    WriteSession(3, "Descr", {"ItemNo"});
    auto byDescr = OpenSession(3);
    TZel_Query existing;
    AddWhere(existing, 1, "A01");
    EXPECT_EQ(PostFailure(*byDescr, existing)
                  .find("Stock count: Failure Posting data: [" + Dsn() + "] EDatabaseError: "),
              0u); // the primary key refuses the second A01
    TZel_Query fresh;
    AddWhere(fresh, 1, "N02");
    byDescr->QueryPost(fresh);
    EXPECT_EQ(fresh.Result.EndRow, 0);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "12");
}

// A key column that is not the primary key takes the counted path, one
// that is takes a single update: both must update a match and insert a miss.
TEST_P(QueryPostTest, KeyOutsideThePrimaryKeyUpdatesOrInsertsLikeThePrimaryKey) {
    WriteSession(3, "Descr", {"ItemNo", "Qty"});
    auto byDescr = OpenSession(3);
    TZel_Query update;
    AddWhere(update, 0, "Gadget");
    AddWhere(update, 2, "42");
    byDescr->QueryPost(update);
    EXPECT_EQ(update.Result.EndRow - update.Result.StartRow + 1, 1);
    TZel_Query insert;
    AddWhere(insert, 0, "Thing");
    AddWhere(insert, 1, "B01");
    AddWhere(insert, 2, "5");
    byDescr->QueryPost(insert);
    EXPECT_EQ(insert.Result.EndRow - insert.Result.StartRow + 1, 1);
    EXPECT_EQ(Query("SELECT ItemNo, Descr, Qty FROM Stock WHERE ItemNo IN ('A03', 'B01') ORDER BY ItemNo"),
              (std::vector<std::vector<std::string>>{{"A03", "Gadget", "42"}, {"B01", "Thing", "5"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "11");
}

TEST_P(QueryPostTest, KeyMatchingSeveralRowsFailsWrappedAndWritesNothing) {
    WriteSession(3, "Qty", {"Descr"});
    auto byQty = OpenSession(3);
    TZel_Query query;
    AddWhere(query, 0, "7");
    AddWhere(query, 1, "Changed");
    EXPECT_EQ(PostFailure(*byQty, query),
              "Stock count: Failure Posting data: [" + Dsn() +
                  "] Exception: POST request matches more than one row [4], no rows "
                  "updated");
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE Descr = 'Changed'")[0][0], "0");
}

TEST_P(QueryPostTest, PercentInTextKeyMatchesByPatternAndIsWrittenAsText) {
    Exec({"INSERT INTO Stock (ItemNo, Descr) VALUES ('AB1', 'One AB')"});
    TZel_Query query;
    AddWhere(query, 0, "AB%");
    AddWhere(query, 1, "Patterned");
    m_session->QueryPost(query);
    EXPECT_EQ(Query("SELECT ItemNo, Descr FROM Stock WHERE Descr = 'Patterned'"),
              (std::vector<std::vector<std::string>>{{"AB%", "Patterned"}}));
}

TEST_P(QueryPostTest, ValueReadBySelectPostsBackUnchanged) {
    TZel_Query select;
    AddSelect(select, {1, 2, 3, 4});
    AddWhere(select, 0, "A02");
    m_session->QuerySelect(select, false);
    auto before = Query("SELECT * FROM Stock WHERE ItemNo = 'A02'");
    TZel_Query post;
    const TZel_QueryRow& row = select.Result.Rows.at(0);
    AddWhere(post, 0, row[0]);
    for (int field = 1; field <= 4; ++field)
        AddWhere(post, field, row[static_cast<size_t>(field)]);
    m_session->QueryPost(post);
    EXPECT_EQ(Query("SELECT * FROM Stock WHERE ItemNo = 'A02'"), before);
}

TEST_P(QueryPostTest, EmptyTextStoresNullInNumericDecimalAndDateColumns) {
    TZel_Query query;
    AddWhere(query, 0, "A01");
    AddWhere(query, 2, "");
    AddWhere(query, 3, "");
    AddWhere(query, 4, "");
    m_session->QueryPost(query);
    EXPECT_EQ(Query("SELECT Qty, Price, Received FROM Stock WHERE ItemNo = 'A01'"),
              (std::vector<std::vector<std::string>>{{"<null>", "<null>", "<null>"}}));
}

TEST_P(QueryPostTest, ValuesTheColumnCannotTakeAreRefusedOnEveryDriver) {
    struct Case {
        int field;
        const char* value;
    } cases[] = {{2, "abc"}, {2, "7 OR 1=1"}, {3, "1,50"}, {4, "2024-13-01"}, {4, "yesterday"}};
    for (const Case& c : cases) {
        TZel_Query query;
        AddWhere(query, 0, "A01");
        AddWhere(query, c.field, c.value);
        std::string failure = PostFailure(*m_session, query);
        EXPECT_NE(failure.find("EDatabaseError: Invalid value [" + std::string(c.value) + "]"),
                  std::string::npos)
            << failure;
    }
    EXPECT_EQ(Query("SELECT Qty, CAST(Price * 100 AS integer), Received FROM Stock WHERE ItemNo = 'A01'"),
              (std::vector<std::vector<std::string>>{{"5", "150", "2024-01-05"}}));
}

TEST_P(QueryPostTest, QuotesAndInjectionTextsAreStoredLiterally) {
    for (const char* text : {"O'Brien", "x'); DROP TABLE Stock; --", "\"quoted\" [bracket]"}) {
        TZel_Query query;
        AddWhere(query, 0, "A04");
        AddWhere(query, 1, text);
        m_session->QueryPost(query);
        EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo = 'A04'")[0][0], text);
    }
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "10");
}

TEST_P(QueryPostTest, WhereEntriesForUnmappedFieldsAreSkippedAndLaterValuesWin) {
    TZel_Query query;
    AddWhere(query, 0, "A05");
    AddWhere(query, 20, "ignored");
    AddWhere(query, 2, "1");
    AddWhere(query, 2, "2");
    m_session->QueryPost(query);
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'A05'")[0][0], "2");
}

using QueryDeleteTest = DataTest;

TEST_P(QueryDeleteTest, DeletesMatchingRowsAndReportsTheirNumber) {
    TZel_Query query;
    AddWhere(query, 2, "7");
    m_session->QueryDelete(query);
    EXPECT_EQ(query.Result.StartRow, 0);
    EXPECT_EQ(query.Result.EndRow, 4);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "6");
}

TEST_P(QueryDeleteTest, EmptyWhereDeletesEveryRow) {
    TZel_Query query;
    m_session->QueryDelete(query);
    EXPECT_EQ(query.Result.EndRow, 10);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "0");
}

TEST_P(QueryDeleteTest, InvalidFieldIndexWithValueFailsAndDeletesNothing) {
    TZel_Query query;
    AddWhere(query, 0, "A01");
    AddWhere(query, 31, "x");
    try {
        m_session->QueryDelete(query);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Invalid field index [31]");
    }
    TZel_Query empty;
    AddWhere(empty, 31, "");
    EXPECT_THROW(m_session->QueryDelete(empty), EDatabaseError); // names no column
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "10");
}

TEST_P(QueryDeleteTest, InjectionAttemptsNeverWidenTheDelete) {
    for (const char* value : {"7 OR 1=1", "", "A%"}) {
        TZel_Query query;
        AddWhere(query, 2, value);
        EXPECT_THROW(m_session->QueryDelete(query), EDatabaseError) << value;
    }
    TZel_Query text;
    AddWhere(text, 1, "x' OR '1'='1");
    m_session->QueryDelete(text);
    EXPECT_EQ(text.Result.EndRow, 0);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "10");
}

// Another program holds the write lock (SQLite) or the row's lock
// (PostgreSQL) longer than the data source waits: the post fails with the
// database's error, nothing is half-written, and the next request works.
TEST_P(QueryPostTest, LockedDatabaseFailsThePostAndTheNextRequestWorks) {
    OdbcTestConnection holder(Dsn());
    if (Driver() == TestDriver::SQLite) {
        holder.Exec("BEGIN IMMEDIATE");
        holder.Exec("UPDATE Stock SET Qty = 100 WHERE ItemNo = 'A09'");
    } else {
        holder.SetAutocommit(false);
        holder.Exec("UPDATE Stock SET Qty = 100 WHERE ItemNo = 'A01'");
    }
    TZel_Query query;
    AddWhere(query, 0, "A01");
    AddWhere(query, 2, "55");
    auto started = std::chrono::steady_clock::now();
    std::string failure = PostFailure(*m_session, query);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(failure.find("Stock count: Failure Posting data: [" + Dsn() + "] EDatabaseError: "), 0u)
        << failure;
    if (Driver() == TestDriver::SQLite)
        holder.Exec("ROLLBACK");
    else
        holder.Rollback();

    TZel_Query select;
    AddSelect(select, {2});
    AddWhere(select, 0, "A01");
    m_session->QuerySelect(select, false);
    EXPECT_EQ(select.Result.Rows.at(0).at(1), "5");
    m_session->QueryPost(query);
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'A01'")[0][0], "55");
}

INSTANTIATE_TEST_SUITE_P(Drivers, QueryPostTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });
INSTANTIATE_TEST_SUITE_P(Drivers, QueryDeleteTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
