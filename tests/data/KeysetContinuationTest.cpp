#include "DataTestFixture.h"

#include "data/odbc/OdbcConnection.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

namespace {

// One reply of a download: its rows and row numbers.
struct Reply {
    std::vector<TZel_QueryRow> Rows;
    int StartRow = 0;
    int EndRow = 0;
    bool operator==(const Reply&) const = default;
};

struct Request {
    std::vector<std::pair<int, std::string>> Where;
    std::vector<int> Order;
    int Window = 0; // rows per request; 0: up to the last row
    int64_t MaxReplyBytes = 0;
};

void Prepare(TZel_Query& query, const Request& request, int start) {
    for (const auto& [field, value] : request.Where)
        AddWhere(query, field, value);
    for (int field : request.Order)
        query.Param.OrderFields.AddNumber(field);
    AddSelect(query, {1, 2, 3, 4, 5});
    query.Param.StartRow = start;
    query.Param.EndRow = request.Window > 0 ? start + request.Window - 1 : 0;
    query.MaxReplyBytes = request.MaxReplyBytes;
}

Reply Select(TZel_ODBCSession& session, const Request& request, int start) {
    TZel_Query query;
    Prepare(query, request, start);
    session.QuerySelect(query, false);
    return {query.Result.Rows, query.Result.StartRow, query.Result.EndRow};
}

// A download as a handheld runs it: each request asks for the row after the
// last one returned, until a reply holds none. between runs after each reply
// that holds rows, with the number of replies so far.
std::vector<Reply> Download(TZel_ODBCSession& session, const Request& request,
                            const std::function<void(const Reply&, size_t)>& between = {}) {
    std::vector<Reply> replies;
    int start = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        Reply reply = Select(session, request, start);
        replies.push_back(reply);
        if (reply.Rows.empty())
            break;
        start = reply.EndRow + 1;
        if (between)
            between(reply, replies.size());
    }
    return replies;
}

// The same windows, each read by counting off the rows before it: a count
// before every select leaves nothing to continue from.
std::vector<Reply> OffsetWindows(TZel_ODBCSession& session, const Request& request,
                                 const std::vector<Reply>& replies) {
    std::vector<Reply> windows;
    int start = 0;
    for (const Reply& reply : replies) {
        TZel_Query count;
        session.QueryCount(count);
        windows.push_back(Select(session, request, start));
        start = reply.EndRow + 1;
    }
    return windows;
}

// Kset: 60 rows K00..K59 with repeated names, quantities with NULLs among
// them (the first and the last row included), prices, dates with NULLs and a
// floating point column.
class KeysetTest : public DataTest {
protected:
    void SetUp() override {
        DataTest::SetUp();
        CreateTable("Kset", "Id varchar(10) PRIMARY KEY");
        WriteSession(3, "Id", {"Name", "Qty", "Price", "Day", "Ratio"}, "Kset");
        m_kset = OpenSession(3);
    }

    void CreateTable(const std::string& table, const std::string& idColumn, int rows = 60,
                     bool duplicates = false) {
        std::string insert = "INSERT INTO " + table + " VALUES ";
        for (int i = 0; i < rows; ++i) {
            const int n = duplicates ? i / 3 : i;
            char id[8];
            std::snprintf(id, sizeof id, "K%02d", n);
            const bool nullQty = n == 0 || n == rows - 1 || n % 7 == 3;
            insert +=
                std::string(i ? ", " : "") + "('" + id + "', 'N" + std::to_string(n % 4) + "', " +
                (nullQty ? "NULL" : std::to_string(n * 37 % 5)) + ", " + std::to_string(n % 6) + "." +
                std::to_string(n % 10) + "5, " +
                (n % 5 == 2 ? "NULL"
                            : "'2024-0" + std::to_string(1 + n % 3) + "-1" + std::to_string(n % 4) + "'") +
                ", " + std::to_string(n % 3) + ".25)";
        }
        Exec({"DROP TABLE IF EXISTS " + table,
              "CREATE TABLE " + table + " (" + idColumn +
                  ", Name varchar(20), Qty integer, Price decimal(10,2), Day date, Ratio real)",
              insert});
    }

    std::string LastSql() { return m_kset->Connection()->MostRecentSql(); }

    std::unique_ptr<TZel_ODBCSession> m_kset;
};

TEST_P(KeysetTest, DownloadByContinuationMatchesOffsetWindows) {
    struct Case {
        const char* name;
        Request request;
    } cases[] = {
        {"key order", {{}, {}, 7, 0}},
        {"text with duplicates", {{}, {1}, 5, 0}},
        {"integer with NULLs", {{}, {2}, 4, 0}},
        {"two fields", {{}, {2, 1}, 3, 0}},
        {"decimal", {{}, {3}, 6, 0}},
        {"date with NULLs", {{}, {4}, 5, 0}},
        {"float", {{}, {5, 2}, 8, 0}},
        {"equal filter", {{{2, "3"}}, {1}, 2, 0}},
        {"like filter", {{{1, "N1%"}}, {2, 4}, 2, 0}},
        {"two rows", {{}, {2}, 2, 0}},
        {"reply bytes", {{}, {1, 2}, 0, 150}},
        {"reply bytes and windows", {{}, {4}, 9, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Reply> replies = Download(*m_kset, c.request);
        auto reference = OpenSession(3);
        EXPECT_EQ(replies, OffsetWindows(*reference, c.request, replies));
        size_t rows = 0;
        for (const Reply& reply : replies)
            rows += reply.Rows.size();
        TZel_Query count;
        for (const auto& [field, value] : c.request.Where)
            AddWhere(count, field, value);
        m_kset->QueryCount(count);
        EXPECT_EQ(rows, static_cast<size_t>(count.Result.EndRow + 1));
        EXPECT_GT(replies.size(), 3u);
    }
}

// Every row that was in the table throughout the download arrives once,
// whatever happened around the point the download had reached.
TEST_P(KeysetTest, TableChangesBetweenRepliesNeitherSkipNorRepeatRows) {
    struct Case {
        const char* name;
        std::vector<int> order;
        // Changes made after the second reply, given its last key.
        std::function<std::vector<std::string>(const std::string& last)> change;
        std::vector<std::string> changed; // keys of rows not there throughout
    } cases[] = {
        {"rows inserted before and after",
         {},
         [](const std::string&) {
             return std::vector<std::string>{"INSERT INTO Kset (Id, Name, Qty) VALUES ('A00', 'N1', 1)",
                                             "INSERT INTO Kset (Id, Name, Qty) VALUES ('A01', 'N1', 1)",
                                             "INSERT INTO Kset (Id, Name, Qty) VALUES ('Z00', 'N1', 1)"};
         },
         {"A00", "A01", "Z00"}},
        {"sorted rows inserted before",
         {2},
         [](const std::string&) {
             // Before the point reached whichever end the NULLs sort at.
             return std::vector<std::string>{"INSERT INTO Kset (Id, Name, Qty) VALUES ('A00', 'N1', 0)",
                                             "INSERT INTO Kset (Id, Name, Qty) VALUES ('A02', 'N1', NULL)"};
         },
         {"A00", "A02"}},
        {"last row deleted",
         {2},
         [](const std::string& last) {
             return std::vector<std::string>{"DELETE FROM Kset WHERE Id = '" + last + "'",
                                             "DELETE FROM Kset WHERE Id = 'K04'"};
         },
         {"last", "K04"}},
        {"last row updated",
         {2},
         [](const std::string& last) {
             return std::vector<std::string>{"UPDATE Kset SET Qty = 4 WHERE Id = '" + last + "'"};
         },
         {"last"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CreateTable("Kset", "Id varchar(10) PRIMARY KEY");
        auto session = OpenSession(3);
        Request request{{}, c.order, 5, 0};
        std::string lastKey;
        std::vector<Reply> replies = Download(*session, request, [&](const Reply& reply, size_t done) {
            if (done == 2) {
                lastKey = reply.Rows.back().at(0);
                Exec(c.change(lastKey));
            }
        });
        std::vector<std::string> changed = c.changed;
        std::replace(changed.begin(), changed.end(), std::string("last"), lastKey);
        std::map<std::string, int> seen;
        for (const Reply& reply : replies)
            for (const TZel_QueryRow& row : reply.Rows)
                ++seen[row.at(0)];
        for (int i = 0; i < 60; ++i) {
            char id[8];
            std::snprintf(id, sizeof id, "K%02d", i);
            if (std::find(changed.begin(), changed.end(), id) == changed.end()) {
                EXPECT_EQ(seen[id], 1) << id;
            }
        }
    }
}

TEST_P(KeysetTest, WithoutAUniqueIdentityWindowsAreCountedOff) {
    // Every row three times, no key at all.
    CreateTable("Loose", "Id varchar(10)", 60, true);
    WriteSession(4, "Id", {"Name", "Qty", "Price", "Day", "Ratio"}, "Loose");
    auto session = OpenSession(4);
    for (const std::vector<int>& order : {std::vector<int>{}, {2}}) {
        Request request{{}, order, 4, 0};
        const std::vector<Reply> replies = Download(*session, request);
        EXPECT_NE(session->Connection()->MostRecentSql().find("OFFSET"), std::string::npos);
        auto reference = OpenSession(4);
        EXPECT_EQ(replies, OffsetWindows(*reference, request, replies));
        size_t rows = 0;
        for (const Reply& reply : replies)
            rows += reply.Rows.size();
        EXPECT_EQ(rows, 60u);
    }
}

// A window that continues the one before seeks past its last row: no OFFSET,
// and no counting off at the end either. Anything else reads by OFFSET.
TEST_P(KeysetTest, OnlyTheWindowRightAfterTheLastOneSeeks) {
    const Request request{{}, {1}, 10, 0};
    EXPECT_EQ(Select(*m_kset, request, 0).EndRow, 9);
    EXPECT_EQ(Select(*m_kset, request, 10).EndRow, 19);
    EXPECT_EQ(LastSql().find("OFFSET"), std::string::npos) << LastSql();
    EXPECT_NE(LastSql().find("LIMIT"), std::string::npos) << LastSql();

    for (int start = 20; start < 60; start += 10)
        Select(*m_kset, request, start);
    const Reply end = Select(*m_kset, request, 60);
    EXPECT_TRUE(end.Rows.empty());
    EXPECT_EQ(end.StartRow, 60);
    EXPECT_EQ(end.EndRow, -1);
    EXPECT_EQ(LastSql().find("OFFSET"), std::string::npos) << LastSql();

    struct Case {
        const char* name;
        std::function<void()> before;
        Request request;
    } cases[] = {
        {"after a count",
         [this] {
             TZel_Query count;
             m_kset->QueryCount(count);
         },
         request},
        {"after a post",
         [this] {
             TZel_Query post;
             AddWhere(post, 0, "K59");
             AddWhere(post, 1, "N9");
             m_kset->QueryPost(post);
         },
         request},
        {"another filter", [] {}, {{{1, "N%"}}, {1}, 10, 0}},
        {"another order", [] {}, {{}, {2}, 10, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Select(*m_kset, request, 0);
        c.before();
        EXPECT_EQ(Select(*m_kset, c.request, 10).Rows.size(), 10u);
        EXPECT_NE(LastSql().find("OFFSET"), std::string::npos) << LastSql();
    }
}

// SQLite converts nothing stored in a key column without a declared type or
// with one of numeric affinity, so integers and text sit side by side there,
// and a text parameter compares otherwise than ORDER BY sorts. PostgreSQL
// holds the same keys as text.
TEST_P(KeysetTest, KeysOfMixedStorageArriveOnceEach) {
    const char* sqliteTypes[] = {"", " STRING", " varchar(10)", " bigint"};
    for (const char* type : sqliteTypes) {
        SCOPED_TRACE(type);
        std::string insert = "INSERT INTO Mixed VALUES ('X1', 'x')";
        for (int i = 1; i <= 12; ++i)
            insert += ", (" + std::to_string(i) + ", 'd')";
        if (Driver() == TestDriver::PostgreSQL)
            insert = "INSERT INTO Mixed SELECT n::text, 'd' FROM generate_series(1, 12) n UNION ALL SELECT "
                     "'X1', 'x'";
        Exec({"DROP TABLE IF EXISTS Mixed",
              Driver() == TestDriver::PostgreSQL
                  ? "CREATE TABLE Mixed (code varchar(10) PRIMARY KEY, descr text)"
                  : std::string("CREATE TABLE Mixed (code") + type + " PRIMARY KEY, descr)",
              insert});
        WriteSession(5, "code", {"descr"}, "Mixed");
        auto session = OpenSession(5);
        std::map<std::string, int> seen;
        for (int start = 0;; start += 3) {
            TZel_Query query;
            AddSelect(query, {0, 1});
            query.Param.StartRow = start;
            query.Param.EndRow = start + 2;
            session->QuerySelect(query, false);
            if (query.Result.Rows.empty())
                break;
            for (const std::string& key : Keys(query))
                ++seen[key];
            ASSERT_LT(start, 30);
        }
        EXPECT_EQ(seen.size(), 13u);
        for (const auto& [key, times] : seen)
            EXPECT_EQ(times, 1) << key;
    }
}

// PostgreSQL keeps a quoted "ID" apart from id (SQLite names ignore case,
// so the table cannot exist there): the session's id is the key column.
TEST_P(KeysetTest, ColumnsDifferingOnlyByCaseKeepApart) {
    if (Driver() != TestDriver::PostgreSQL)
        GTEST_SKIP() << "column names ignore case";
    Exec({"DROP TABLE IF EXISTS Cased",
          "CREATE TABLE Cased (\"ID\" integer, id varchar(10) PRIMARY KEY, descr text)",
          "INSERT INTO Cased SELECT 1, 'K0' || n, 'd' || n FROM generate_series(1, 7) n"});
    WriteSession(5, "id", {"descr"}, "Cased");
    auto session = OpenSession(5);
    std::vector<std::string> keys;
    for (int start = 0; start < 9; start += 3) {
        TZel_Query query;
        AddSelect(query, {0, 1});
        query.Param.StartRow = start;
        query.Param.EndRow = start + 2;
        session->QuerySelect(query, false);
        for (const std::string& key : Keys(query))
            keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"K01", "K02", "K03", "K04", "K05", "K06", "K07"}));

    TZel_Query post;
    AddWhere(post, 0, "K02");
    AddWhere(post, 1, "new");
    session->QueryPost(post);
    EXPECT_EQ(Query("SELECT \"ID\", id, descr FROM Cased WHERE descr = 'new' OR \"ID\" <> 1"),
              (std::vector<std::vector<std::string>>{{"1", "K02", "new"}}));
    EXPECT_EQ(Query("SELECT count(*) FROM Cased"), (std::vector<std::vector<std::string>>{{"7"}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, KeysetTest, ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
