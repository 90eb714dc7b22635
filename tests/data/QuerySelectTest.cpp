#include "DataTestFixture.h"

#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/odbc/DatabaseError.h"

#include <algorithm>

namespace {

using QuerySelectTest = DataTest;

TEST_P(QuerySelectTest, ValuesReadAsTextTheSameOnEveryDriver) {
    TZel_Query query;
    AddSelect(query, {1, 2, 3, 4});
    AddWhere(query, 0, "A02");
    m_session->QuerySelect(query, false);
    ASSERT_EQ(query.Result.Rows.size(), 1u);
    EXPECT_EQ(query.Result.Rows[0], (TZel_QueryRow{"A02", "Widget large", "7", "12.50", "2024-02-29"}));
    ASSERT_EQ(query.Result.Fields.Count(), 5);
    EXPECT_TRUE(query.Result.Fields.Get(0)->IsKey);
    EXPECT_EQ(query.Result.Fields.Get(0)->FieldNumber, 0);
    EXPECT_FALSE(query.Result.Fields.Get(1)->IsKey);

    TZel_Query nulls;
    AddSelect(nulls, {2, 3, 4});
    AddWhere(nulls, 0, "A07");
    m_session->QuerySelect(nulls, false);
    ASSERT_EQ(nulls.Result.Rows.size(), 1u);
    EXPECT_EQ(nulls.Result.Rows[0], (TZel_QueryRow{"A07", "", "", ""}));
}

// Ten rows A01..A10 in key order; Descr LIKE 'Widget%' matches six of them.
class QueryWindowTest : public DataTest {};

TEST_P(QueryWindowTest, RowWindowsOfTheTenRows) {
    struct Case {
        int start, end;
        std::vector<std::string> keys;
        int resultStart, resultEnd;
    } cases[] = {
        {2, 4, {"A03", "A04", "A05"}, 2, 4},
        {0, 0, {"A01", "A02", "A03", "A04", "A05", "A06", "A07", "A08", "A09", "A10"}, 0, 9},
        {8, 0, {"A09", "A10"}, 8, 9},
        {9, 9, {"A10"}, 9, 9},
        {3, 20, {"A04", "A05", "A06", "A07", "A08", "A09", "A10"}, 3, 9},
        {0, 1, {"A01", "A02"}, 0, 1},
        {5, 3, {}, 5, -1},   // an end before the start gives no rows
        {10, 0, {}, 10, -1}, // start equal to the count
        {11, 0, {}, 0, 0},   // start beyond the rows
    };
    for (const Case& c : cases) {
        TZel_Query query;
        query.Param.StartRow = c.start;
        query.Param.EndRow = c.end;
        m_session->QuerySelect(query, false);
        EXPECT_EQ(Keys(query), c.keys) << c.start << ".." << c.end;
        EXPECT_EQ(query.Result.StartRow, c.resultStart) << c.start << ".." << c.end;
        EXPECT_EQ(query.Result.EndRow, c.resultEnd) << c.start << ".." << c.end;
    }
}

TEST_P(QueryWindowTest, WindowsOfFilteredRows) {
    // Qty 7: A02, A03, A06 and A10.
    struct Case {
        int start, end;
        std::vector<std::string> keys;
        int resultStart, resultEnd;
    } cases[] = {
        {1, 2, {"A03", "A06"}, 1, 2},
        {4, 0, {}, 4, -1},
        {5, 0, {}, 0, 0},
        {7, 9, {}, 0, 0},
    };
    for (const Case& c : cases) {
        TZel_Query query;
        AddWhere(query, 2, "7");
        query.Param.StartRow = c.start;
        query.Param.EndRow = c.end;
        m_session->QuerySelect(query, false);
        EXPECT_EQ(Keys(query), c.keys) << c.start << ".." << c.end;
        EXPECT_EQ(query.Result.StartRow, c.resultStart) << c.start << ".." << c.end;
        EXPECT_EQ(query.Result.EndRow, c.resultEnd) << c.start << ".." << c.end;
    }
}

TEST_P(QuerySelectTest, SortsByTwoFieldsAndDropsUnmappedOrderFields) {
    TZel_Query query;
    AddSelect(query, {2});
    AddOrder(query, {2, 17, 1}); // Qty, unmapped, Descr
    AddWhere(query, 1, "Widget%");
    m_session->QuerySelect(query, false);
    EXPECT_EQ(Keys(query), (std::vector<std::string>{"A08", "A04", "A01", "A02", "A06", "A10"}));
    EXPECT_EQ(query.Param.OrderFields.Count(), 2);
}

TEST_P(QuerySelectTest, SelectEntryForTheKeyAppearsTwiceAndInvalidOnesAreDropped) {
    TZel_Query query;
    AddSelect(query, {0, 31, 9, 1});
    AddWhere(query, 0, "A05");
    m_session->QuerySelect(query, false);
    ASSERT_EQ(query.Result.Rows.size(), 1u);
    EXPECT_EQ(query.Result.Rows[0], (TZel_QueryRow{"A05", "A05", "Gizmo"}));
}

TEST_P(QuerySelectTest, PercentInATextValueFiltersWithLike) {
    TZel_Query query;
    AddWhere(query, 1, "Widget%");
    AddWhere(query, 2, "7");
    EXPECT_EQ(m_session->BuildFilter(query), "[Descr] LIKE 'Widget%' AND [Qty] = 7");
    m_session->QuerySelect(query, false);
    EXPECT_EQ(Keys(query), (std::vector<std::string>{"A02", "A06", "A10"}));

    TZel_Query exact;
    AddWhere(exact, 1, "Widget");
    AddWhere(exact, 2, "7");
    EXPECT_EQ(m_session->BuildFilter(exact), "[Descr] = 'Widget' AND [Qty] = 7");
    m_session->QuerySelect(exact, false);
    EXPECT_TRUE(exact.Result.Rows.empty());
}

// "%" is the only wildcard: "_", "\" and any escape character match
// themselves on every path, so a pattern never reaches rows it does not name.
TEST_P(QuerySelectTest, PercentIsTheOnlyWildcard) {
    Exec({"INSERT INTO Stock (ItemNo, Descr) VALUES ('K_1', 'A_1x')",
          "INSERT INTO Stock (ItemNo, Descr) VALUES ('KX1', 'AB1x')",
          "INSERT INTO Stock (ItemNo, Descr) VALUES ('K\\1', 'C\\x')",
          "INSERT INTO Stock (ItemNo, Descr) VALUES ('K!1', 'D!x')",
          "INSERT INTO Stock (ItemNo, Descr) VALUES ('K^1', 'E^x')"});
    struct Case {
        const char* pattern;
        std::vector<std::string> keys;
    } cases[] = {
        {"A_1%", {"K_1"}}, {"A%1x", {"KX1", "K_1"}}, {"C\\%", {"K\\1"}},
        {"D!%", {"K!1"}},  {"E^%", {"K^1"}},         {"%\\x", {"K\\1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        TZel_Query query;
        AddWhere(query, 1, c.pattern);
        m_session->QuerySelect(query, false);
        std::vector<std::string> keys = Keys(query);
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, c.keys);
        TZel_Query count;
        AddWhere(count, 1, c.pattern);
        m_session->QueryCount(count);
        EXPECT_EQ(count.Result.EndRow + 1, static_cast<int>(c.keys.size()));
    }

    TZel_Query post;
    AddWhere(post, 0, "K_%");
    AddWhere(post, 1, "Posted");
    m_session->QueryPost(post);
    EXPECT_EQ(Query("SELECT ItemNo FROM Stock WHERE Descr = 'Posted'"),
              (std::vector<std::vector<std::string>>{{"K_%"}}));

    TZel_Query remove;
    AddWhere(remove, 0, "K\\%");
    m_session->QueryDelete(remove);
    EXPECT_EQ(remove.Result.EndRow, 1);
    auto left = Query("SELECT ItemNo FROM Stock WHERE ItemNo LIKE 'K%'");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::vector<std::string>>{{"K!1"}, {"KX1"}, {"K^1"}, {"K_%"}}));
}

// Fixed-width handheld values: blanks around a number or a date are
// ignored, blanks in a text value are part of it.
TEST_P(QuerySelectTest, BlanksAroundNumbersAndDatesAreIgnored) {
    struct Case {
        int field;
        const char* value;
        std::vector<std::string> keys;
    } cases[] = {
        {2, "7 ", {"A02", "A03", "A06", "A10"}},
        {2, " 9", {"A05"}},
        {3, " 12.50 ", {"A02"}},
        {4, "2024-02-29  ", {"A02"}},
        {1, "Gizmo ", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TZel_Query query;
        AddWhere(query, c.field, c.value);
        m_session->QuerySelect(query, false);
        EXPECT_EQ(Keys(query), c.keys);
        TZel_Query count;
        AddWhere(count, c.field, c.value);
        m_session->QueryCount(count);
        EXPECT_EQ(count.Result.EndRow + 1, static_cast<int>(c.keys.size()));
    }

    TZel_Query post;
    AddWhere(post, 0, "A01");
    AddWhere(post, 1, " padded ");
    AddWhere(post, 2, "42 ");
    AddWhere(post, 3, " 8.05");
    AddWhere(post, 4, " 2025-01-02 ");
    m_session->QueryPost(post);
    EXPECT_EQ(Query("SELECT Descr, Qty, Price, Received FROM Stock WHERE ItemNo = 'A01'"),
              (std::vector<std::vector<std::string>>{{" padded ", "42", "8.05", "2025-01-02"}}));

    TZel_Query remove;
    AddWhere(remove, 2, " 9 ");
    m_session->QueryDelete(remove);
    EXPECT_EQ(remove.Result.EndRow, 1);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE ItemNo = 'A05'")[0][0], "0");
}

TEST_P(QuerySelectTest, NumericFieldRefusesValuesThatAreNotNumbers) {
    for (const char* value : {"A%", "", "7 OR 1=1", "7) OR ([Qty] > 0", "1; DELETE FROM Stock"}) {
        TZel_Query query;
        AddWhere(query, 2, value);
        EXPECT_THROW(m_session->QuerySelect(query, false), EDatabaseError) << value;
        TZel_Query count;
        AddWhere(count, 2, value);
        EXPECT_THROW(m_session->QueryCount(count), EDatabaseError) << value;
    }
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "10");
}

TEST_P(QuerySelectTest, QuotesInTextValuesMatchLiterally) {
    Exec({"INSERT INTO Stock (ItemNo, Descr) VALUES ('B01', 'O''Brien''s')"});
    TZel_Query query;
    AddWhere(query, 1, "O'Brien's");
    m_session->QuerySelect(query, false);
    EXPECT_EQ(Keys(query), (std::vector<std::string>{"B01"}));

    for (const char* value : {"x' OR '1'='1", "' OR 1=1 --", "%' OR '1'='1"}) {
        TZel_Query attack;
        AddWhere(attack, 1, value);
        m_session->QuerySelect(attack, false);
        EXPECT_TRUE(attack.Result.Rows.empty()) << value;
    }
}

TEST_P(QuerySelectTest, DateAndDecimalValuesFilterByValue) {
    TZel_Query query;
    AddWhere(query, 3, "12.50");
    AddWhere(query, 4, "2024-02-29");
    m_session->QuerySelect(query, false);
    EXPECT_EQ(Keys(query), (std::vector<std::string>{"A02"}));
}

TEST_P(QuerySelectTest, WhereEntryNamingNoColumnFailsWithFieldNotFound) {
    TZel_Query query;
    AddWhere(query, 12, "x");
    EXPECT_THROW(m_session->QuerySelect(query, false), EDatabaseError);
    TZel_Query next;
    m_session->QuerySelect(next, false);
    EXPECT_EQ(next.Result.Rows.size(), 10u);
}

TEST_P(QuerySelectTest, CountIgnoresWindowAndReportsMatchingRowsMinusOne) {
    TZel_Query query;
    AddWhere(query, 1, "Widget%");
    query.Param.StartRow = 3;
    query.Param.EndRow = 4;
    m_session->QueryCount(query);
    EXPECT_EQ(query.Result.StartRow, 0);
    EXPECT_EQ(query.Result.EndRow, 5);
    EXPECT_TRUE(query.Result.Rows.empty());

    TZel_Query none;
    AddWhere(none, 0, "nothing");
    m_session->QueryCount(none);
    EXPECT_EQ(none.Result.StartRow, 0);
    EXPECT_EQ(none.Result.EndRow, -1);
}

TEST_P(QuerySelectTest, StopsBeforeTheRowThatWouldOverflowTheReply) {
    TZel_Query all;
    AddSelect(all, {1});
    m_session->QuerySelect(all, false);
    int64_t firstThree = 0;
    for (int i = 0; i < 3; ++i)
        firstThree += all.Result.ReplySize(all.Result.Rows[static_cast<size_t>(i)]);

    TZel_Query query;
    AddSelect(query, {1});
    query.MaxReplyBytes = firstThree;
    m_session->QuerySelect(query, false);
    EXPECT_EQ(Keys(query), (std::vector<std::string>{"A01", "A02", "A03"}));
    EXPECT_EQ(query.Result.EndRow, 2);

    TZel_Query tiny;
    tiny.MaxReplyBytes = 1; // the first row is always kept
    tiny.Param.StartRow = 4;
    m_session->QuerySelect(tiny, false);
    EXPECT_EQ(Keys(tiny), (std::vector<std::string>{"A05"}));
    EXPECT_EQ(tiny.Result.StartRow, 4);
    EXPECT_EQ(tiny.Result.EndRow, 4);
}

TEST_P(QuerySelectTest, VerboseLogShowsTheFilter) {
    std::vector<std::string> lines;
    TZelLogger* logger = GetLogger();
    auto saved = logger->OnLogMessage;
    logger->OnLogMessage = [&lines](const std::string& text) { lines.push_back(text); };
    SetVerbose(true);
    TZel_Query query;
    AddWhere(query, 1, "Gizmo");
    AddOrder(query, {25});
    m_session->QuerySelect(query, false);
    SetVerbose(false);
    logger->OnLogMessage = saved;
    std::string all;
    for (const auto& line : lines)
        all += line + "\n";
    EXPECT_NE(all.find("Ignoring invalid ORDER BY field index [25]"), std::string::npos) << all;
    EXPECT_NE(all.find("SELECT Filter: [Descr] = 'Gizmo'"), std::string::npos) << all;
}

TEST_P(QuerySelectTest, RequestsWithoutConnectionSayWhich) {
    TZel_ODBCSession idle;
    idle.SessionName = "Idle";
    TZel_Query query;
    try {
        idle.QuerySelect(query, false);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Idle: QuerySelect called, but not connected");
    }
    try {
        idle.QueryCount(query);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Idle: QueryCount called, but not connected");
    }
    try {
        idle.QueryDelete(query);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Idle: QueryDelete called, but not connected");
    }
    try {
        idle.QueryPost(query);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Idle: Failure Posting data: [] Exception: Idle: QueryPost called, but not connected");
    }
}

// Windows read one request at a time fit together also where the sort
// order leaves ties and the table has no primary key: the best row
// identifier, or else every column, breaks them.
TEST_P(QueryWindowTest, WindowsFitTogetherWithoutAPrimaryKey) {
    struct Variant {
        const char* name;
        const char* create;
    } variants[] = {
        {"no key", "CREATE TABLE Loose (Grp varchar(10), Name varchar(10), Amount integer)"},
        {"unique column", "CREATE TABLE Loose (Grp varchar(10), Name varchar(10) UNIQUE, Amount integer)"},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        std::string insert = "INSERT INTO Loose VALUES ";
        std::vector<std::string> names;
        for (int i = 0; i < 300; ++i) {
            std::string name = "n" + std::to_string(1000 + (i * 7919) % 300);
            names.push_back(name);
            insert += std::string(i ? ", " : "") + "('g" + std::to_string(i % 2) + "', '" + name + "', " +
                      std::to_string(i % 3) + ")";
        }
        Exec({"DROP TABLE IF EXISTS Loose", v.create, insert});
        WriteSession(6, "Name", {"Grp", "Amount"}, "Loose");
        auto session = OpenSession(6);
        for (std::initializer_list<int> order : {std::initializer_list<int>{1}, {2, 1}, {}}) {
            std::vector<std::string> read;
            for (int start = 0; start < 300; start += 20) {
                TZel_Query query;
                AddOrder(query, order);
                query.Param.StartRow = start;
                query.Param.EndRow = start + 19;
                session->QuerySelect(query, false);
                for (const std::string& key : Keys(query))
                    read.push_back(key);
            }
            std::sort(read.begin(), read.end());
            std::vector<std::string> expected = names;
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(read, expected) << "order of " << order.size() << " fields";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, QuerySelectTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });
INSTANTIATE_TEST_SUITE_P(Drivers, QueryWindowTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
