#include "DataTestFixture.h"

#include <atomic>
#include <barrier>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Posts of the same new key from several connections at the same moment: the
// database's own locks must order them, as two servers on one database have
// no lock in common but the database's. Each thread has a session with a
// connection of its own.

namespace {

constexpr int kThreads = 4;
constexpr int kKeys = 10;

struct TPostCase {
    const char* Name;
    const char* Table; // created by the case; Stock is the fixture's
    const char* Create;
    const char* KeyColumn;
    std::vector<std::string> Fields; // Field01.. ; Field01 takes the poster's number
};

class ConcurrentPostTest : public DataTest {
protected:
    // Every thread posts every key, all starting each key together; returns
    // the failures, which should be none.
    std::vector<std::string> PostTogether(const TPostCase& postCase, const std::string& keyPrefix) {
        std::vector<std::unique_ptr<TZel_ODBCSession>> sessions;
        for (int t = 0; t < kThreads; ++t)
            sessions.push_back(OpenSession(3));
        std::barrier start(kThreads);
        std::vector<std::vector<std::string>> failures(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < kKeys; ++k) {
                    TZel_Query query;
                    AddWhere(query, 0, keyPrefix + std::to_string(k));
                    AddWhere(query, 1, std::to_string(t));
                    start.arrive_and_wait();
                    try {
                        sessions[static_cast<size_t>(t)]->QueryPost(query);
                    } catch (const std::exception& e) {
                        failures[static_cast<size_t>(t)].push_back(e.what());
                    }
                }
            });
        for (std::thread& thread : threads)
            thread.join();
        std::vector<std::string> all;
        for (const auto& list : failures)
            all.insert(all.end(), list.begin(), list.end());
        (void)postCase;
        return all;
    }

    // key -> the values of column 1 of its rows
    std::map<std::string, std::vector<std::string>> RowsByKey(const TPostCase& postCase,
                                                              const std::string& keyPrefix) {
        std::map<std::string, std::vector<std::string>> rows;
        for (const auto& row :
             Query(std::string("SELECT ") + postCase.KeyColumn + ", " + postCase.Fields[0] + " FROM " +
                   postCase.Table + " WHERE " + postCase.KeyColumn + " LIKE '" + keyPrefix + "%'"))
            rows[row[0]].push_back(row[1]);
        return rows;
    }

    void Prepare(const TPostCase& postCase) {
        if (postCase.Create[0])
            Exec({std::string("DROP TABLE IF EXISTS ") + postCase.Table, postCase.Create});
        WriteSession(3, postCase.KeyColumn, postCase.Fields, postCase.Table);
    }
};

const std::vector<TPostCase> kCases = {
    {"primary key", "Stock", "", "ItemNo", {"Qty"}},
    {"key without a unique constraint",
     "Tally",
     "CREATE TABLE Tally (Code varchar(20), Who integer)",
     "Code",
     {"Who"}},
};

TEST_P(ConcurrentPostTest, PostsOfOneNewKeyAtOnceInsertItOnceAndUpdateIt) {
    for (const TPostCase& postCase : kCases) {
        SCOPED_TRACE(postCase.Name);
        Prepare(postCase);
        const std::vector<std::string> failures = PostTogether(postCase, "N");
        EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
        const auto rows = RowsByKey(postCase, "N");
        EXPECT_EQ(rows.size(), static_cast<size_t>(kKeys));
        for (const auto& [key, values] : rows) {
            ASSERT_EQ(values.size(), 1u) << key << " has " << values.size() << " rows";
            const int who = std::stoi(values[0]);
            EXPECT_TRUE(who >= 0 && who < kThreads) << key << ": " << values[0];
        }
    }
}

// A pattern may match any row of the table: it waits for the posts of every
// key, and they for it, so no key ends with two rows and no post meets a
// half-done one.
TEST_P(ConcurrentPostTest, PatternPostBesideKeyPostsLeavesOneRowPerKey) {
    const TPostCase& postCase = kCases[1];
    Prepare(postCase);
    auto patternSession = OpenSession(3);
    std::atomic<bool> done{false};
    int patternPosts = 0;
    std::vector<std::string> patternFailures;
    std::thread pattern([&] {
        while (!done) {
            TZel_Query query;
            AddWhere(query, 0, "Q%");
            AddWhere(query, 1, "99");
            try {
                patternSession->QueryPost(query);
            } catch (const std::exception& e) {
                // Matching several rows is the post's own answer, not a fault.
                if (std::string(e.what()).find("matches more than one row") == std::string::npos)
                    patternFailures.push_back(e.what());
            }
            ++patternPosts;
        }
    });
    const std::vector<std::string> failures = PostTogether(postCase, "Q");
    done = true;
    pattern.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    EXPECT_TRUE(patternFailures.empty()) << patternFailures.front();
    EXPECT_GT(patternPosts, 0);
    for (const auto& [key, values] : RowsByKey(postCase, "Q"))
        EXPECT_EQ(values.size(), 1u) << key;
}

INSTANTIATE_TEST_SUITE_P(Drivers, ConcurrentPostTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
