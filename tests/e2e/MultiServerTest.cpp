// Two real servers on one database, driven by handhelds that post the same new
// keys at the same moment and post again on a timeout; one server is killed
// midway, and the table is checked against every post made.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "E2eServer.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/TestHandheld.h"

namespace {

constexpr int kHandhelds = 8;
constexpr int kKeys = 10;

struct TPost {
    std::string Key;
    std::string Handheld;
    std::string Value;
    std::string Outcome;
    std::string Detail;
};

// The post log of zel-load: key, handheld, attempt, value, server, outcome, detail.
std::vector<TPost> ReadPosts(const std::string& fileName) {
    std::vector<TPost> posts;
    std::istringstream lines(ReadAll(fileName));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t'))
            fields.push_back(field);
        fields.resize(7);
        posts.push_back({fields[0], fields[1], fields[3], fields[5], fields[6]});
    }
    return posts;
}

// Parameters: the driver, and whether the key column is the primary key (a
// key column without a unique constraint is the harsher case: nothing in the
// database refuses a second row).
class E2eMultiServerTest : public ::testing::TestWithParam<std::tuple<TestDriver, bool>> {};

TEST_P(E2eMultiServerTest, PostsOfTheSameNewKeysThroughTwoServersLeaveOneRowPerKey) {
    const auto [driver, primaryKey] = GetParam();
    OdbcTestEnv::Get().Prepare(driver);
    OdbcTestEnv::Get().ExecSql(
        driver, {"DROP TABLE IF EXISTS race", std::string("CREATE TABLE race (k varchar(40)") +
                                                  (primaryKey ? " PRIMARY KEY" : "") + ", v varchar(40))"});

    TTempFolder folder;
    std::vector<int> ports;
    std::vector<std::unique_ptr<TServerProcess>> servers;
    for (int i = 0; i < 2; ++i) {
        ports.push_back(FreeLoopbackPort());
        const std::string config = folder.File("Server" + std::to_string(i) + ".ini");
        WriteAll(config, SettingsSection(ports.back(), "Server " + std::to_string(i)) +
                             SessionSection({1, "Race", OdbcTestEnv::DsnName(driver), "race", "k", {"v"}}));
        servers.push_back(std::make_unique<TServerProcess>(folder));
        ASSERT_TRUE(servers.back()->Start(config)) << servers.back()->Output();
    }

    // Handhelds 1, 3, 5, 7 start on the first server, 2, 4, 6, 8 on the second.
    const std::string postLog = folder.File("posts.log");
    const std::string prefix = "R" + TestDriverName(driver);
    TChildProcess load;
    ASSERT_TRUE(load.Start({ZEL_BINARY_DIR "/zel-load",
                            "--port",
                            std::to_string(ports[0]),
                            "--port",
                            std::to_string(ports[1]),
                            "--session",
                            "1",
                            "--handhelds",
                            std::to_string(kHandhelds),
                            "--race-keys",
                            std::to_string(kKeys),
                            "--key-prefix",
                            prefix,
                            "--key-pause",
                            "0.2",
                            "--timeout",
                            "3",
                            "--time-limit",
                            "20",
                            "--post-log",
                            postLog},
                           folder.PrivateEnvironment(), folder.File("load.out"), folder.File("load.err")));

    // Killed while the posts of a key are being answered: after three keys' worth and two more.
    const bool midway = WaitForText(postLog, "\tacked\t", 60000, &load, 3 * kHandhelds + 2);
    servers[0]->Child().Kill();
    const std::optional<int> exitCode = load.Wait(120000);
    load.Kill();
    EXPECT_TRUE(midway) << ReadAll(postLog);

    const std::vector<TPost> posts = ReadPosts(postLog);
    std::map<std::string, std::set<std::string>> valuesPosted; // every post: its write may have landed
    std::set<std::string> acknowledged;
    std::set<std::pair<std::string, std::string>> acknowledgedByHandheld;
    std::vector<std::string> refused;
    for (const TPost& post : posts) {
        valuesPosted[post.Key].insert(post.Value);
        if (post.Outcome == "acked") {
            acknowledged.insert(post.Key);
            acknowledgedByHandheld.insert({post.Key, post.Handheld});
        } else if (post.Outcome == "refused") {
            refused.push_back(post.Key + " h" + post.Handheld + ": " + post.Detail);
        }
    }
    EXPECT_EQ(refused, std::vector<std::string>());
    EXPECT_EQ(acknowledgedByHandheld.size(), static_cast<size_t>(kHandhelds * kKeys))
        << "posts not acknowledged in the end";
    EXPECT_EQ(acknowledged.size(), static_cast<size_t>(kKeys));

    const auto rows = OdbcTestEnv::Get().QuerySql(driver, "SELECT k, v FROM race ORDER BY k, v");
    std::map<std::string, std::vector<std::string>> rowsByKey;
    for (const auto& row : rows)
        rowsByKey[row.at(0)].push_back(row.at(1));
    for (const auto& [key, values] : rowsByKey) {
        SCOPED_TRACE(key);
        EXPECT_EQ(values.size(), 1u) << "key with more than one row";
        for (const std::string& value : values)
            EXPECT_TRUE(valuesPosted[key].count(value)) << value << " was never posted";
    }
    for (const std::string& key : acknowledged)
        EXPECT_TRUE(rowsByKey.count(key)) << key << " was acknowledged but is not in the table";
    EXPECT_EQ(rows.size(), acknowledged.size());

    // The run's figures (posts, re-posts, time) in the test's output.
    std::cout << ReadAll(folder.File("load.out"));
    ASSERT_TRUE(exitCode.has_value()) << "zel-load did not end";
    EXPECT_EQ(*exitCode, 0) << ReadAll(folder.File("load.out")) << ReadAll(folder.File("load.err"));
    EXPECT_TRUE(servers[1]->Child().Running()) << servers[1]->Output();
    servers[1]->Stop();
}

INSTANTIATE_TEST_SUITE_P(Drivers, E2eMultiServerTest,
                         ::testing::Combine(::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<E2eMultiServerTest::ParamType>& info) {
                             return TestDriverName(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "KeyIsPrimaryKey" : "KeyWithoutConstraint");
                         });

} // namespace
