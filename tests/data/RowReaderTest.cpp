#include "support/OdbcTestEnv.h"

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"
#include "data/odbc/OdbcRowReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Rows per fetch as ZEL_ROWS_PER_FETCH gives it: one SQLGetData per value,
// rowsets smaller than the result (its row count not a multiple of them),
// and the default.
using RowReaderParam = std::tuple<TestDriver, const char*>;

struct Value {
    std::optional<std::string> Text; // nullopt: NULL
    bool operator==(const Value&) const = default;
};

std::string Repeat(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}

// The widest bound text buffer holds 255 bytes and its NUL.
const std::string kFits = std::string(255, 'f');
const std::string kExactly = std::string(256, 'e');
const std::string kOneMore = std::string(257, 'o');
const std::string kUtf8Across = std::string(254, 'a') + "\xC3\xA9" + "z"; // é on bytes 255 and 256
const std::string kUtf8Long = Repeat("\xE2\x82\xAC\xC3\xBC", 200);        // €ü, 1,000 bytes
const std::string kHuge = [] {
    std::string text;
    for (int i = 0; text.size() < 100000; ++i)
        text += "line " + std::to_string(i) + " \xC3\xA4\xC3\xB6 ";
    return text.substr(0, 100000);
}();

class RowReaderTest : public ::testing::TestWithParam<RowReaderParam> {
protected:
    void SetUp() override {
        OdbcTestEnv::Get().Prepare(Driver());
        std::vector<std::string> sql = {
            "DROP TABLE IF EXISTS Texts",
            "CREATE TABLE Texts (Id integer PRIMARY KEY, Body text, Code varchar(5))"};
        for (size_t i = 0; i < Expected().size(); ++i) {
            const Value& body = Expected()[i][1];
            sql.push_back("INSERT INTO Texts VALUES (" + std::to_string(i + 1) + ", " +
                          (body.Text ? "'" + *body.Text + "'" : "NULL") + ", " +
                          (i == 1   ? "NULL"
                           : i == 2 ? "''"
                                    : "'\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC'") +
                          ")");
        }
        OdbcTestEnv::Get().ExecSql(Driver(), sql);
        const char* rows = std::get<1>(GetParam());
        if (rows)
            setenv("ZEL_ROWS_PER_FETCH", rows, 1);
        else
            unsetenv("ZEL_ROWS_PER_FETCH");
        m_connection = std::make_unique<TOdbcConnection>(std::make_shared<TOdbcEnvironment>());
        m_connection->Open(OdbcTestEnv::DsnName(Driver()), "", "");
        unsetenv("ZEL_ROWS_PER_FETCH");
    }

    TestDriver Driver() const { return std::get<0>(GetParam()); }

    // Id, Body and Code of every row of Texts, in Id order.
    static const std::vector<std::vector<Value>>& Expected() {
        static const std::vector<std::vector<Value>> rows = [] {
            const std::string euros = "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";
            std::vector<std::optional<std::string>> bodies = {
                "x", std::nullopt, "", kHuge, kFits, kExactly, kOneMore, kUtf8Across, kUtf8Long, "last"};
            std::vector<std::vector<Value>> result;
            for (size_t i = 0; i < bodies.size(); ++i) {
                Value code = i == 1 ? Value{std::nullopt} : i == 2 ? Value{""} : Value{euros};
                result.push_back({Value{std::to_string(i + 1)}, Value{bodies[i]}, code});
            }
            return result;
        }();
        return rows;
    }

    // Reads up to limit rows of sql (all when negative) with a reader.
    std::vector<std::vector<Value>> Read(const std::string& sql, int limit = -1) {
        auto statement = m_connection->Prepare(sql);
        statement->Execute();
        TOdbcRowReader reader(*statement);
        std::vector<std::vector<Value>> rows;
        while ((limit < 0 || static_cast<int>(rows.size()) < limit) && reader.Next()) {
            std::vector<Value> row;
            for (int column = 1; column <= 3; ++column) {
                bool isNull = false;
                std::string text = reader.Text(column, &isNull);
                row.push_back(isNull ? Value{std::nullopt} : Value{text});
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    std::unique_ptr<TOdbcConnection> m_connection;
};

const std::string kSelect = "SELECT Id, Body, Code FROM Texts ORDER BY Id";

// Values longer than their buffer, exactly at its edge and with a multi-byte
// character across it come back whole; NULL and empty text stay apart.
TEST_P(RowReaderTest, ReadsEveryValueWhole) {
    const auto rows = Read(kSelect);
    ASSERT_EQ(rows.size(), Expected().size());
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t column = 0; column < 3; ++column)
            EXPECT_TRUE(rows[i][column] == Expected()[i][column])
                << "row " << i + 1 << " column " << column + 1 << ": "
                << (rows[i][column].Text ? rows[i][column].Text->size() : 0) << " bytes";
}

// A reader that stops early or fails hands its statement back clean: the
// cached statement then reads from the first row, one row per SQLFetch for a
// caller without a reader.
TEST_P(RowReaderTest, StatementComesBackCleanAfterAnEarlyStop) {
    EXPECT_EQ(Read(kSelect, 4).size(), 4u);
    EXPECT_EQ(Read(kSelect), Expected());
    EXPECT_EQ(Read(kSelect, 1).size(), 1u);
    {
        auto statement = m_connection->Prepare(kSelect);
        statement->Execute();
        std::vector<std::string> ids;
        while (statement->Fetch())
            ids.push_back(statement->GetText(1));
        EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
    }
    EXPECT_EQ(m_connection->CachedStatementCount(), 1u);
    EXPECT_EQ(Read(kSelect), Expected());
}

TEST_P(RowReaderTest, FailedReadLeavesTheConnectionUsable) {
    // Overflows at row 7, when that row is computed.
    const std::string failing = "SELECT Id, Body, CASE WHEN Id = 7 THEN abs(-9223372036854775807 - 1) END "
                                "FROM Texts ORDER BY Id";
    EXPECT_THROW(Read(failing), EDatabaseError);
    EXPECT_TRUE(m_connection->IsOpen());
    EXPECT_EQ(Read(kSelect), Expected());
}

// More rows than a rowset holds, in a number that is no multiple of it.
TEST_P(RowReaderTest, ReadsManyRows) {
    OdbcTestEnv::Get().ExecSql(Driver(),
                               {"DROP TABLE IF EXISTS Numbers", "CREATE TABLE Numbers (N integer)",
                                "INSERT INTO Numbers SELECT a.Id * 100 + b.Id * 10 + c.Id FROM Texts a, "
                                "Texts b, Texts c WHERE a.Id <= 3"});
    auto statement = m_connection->Prepare("SELECT N FROM Numbers ORDER BY N");
    statement->Execute();
    TOdbcRowReader reader(*statement);
    std::vector<int> numbers;
    while (reader.Next())
        numbers.push_back(std::stoi(reader.Text(1)));
    ASSERT_EQ(numbers.size(), 300u);
    EXPECT_EQ(numbers.front(), 111);
    EXPECT_EQ(numbers.back(), 410);
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
}

INSTANTIATE_TEST_SUITE_P(Drivers, RowReaderTest,
                         ::testing::Combine(::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                                            ::testing::Values("0", "3", nullptr)),
                         [](const auto& info) {
                             const char* rows = std::get<1>(info.param);
                             return TestDriverName(std::get<0>(info.param)) + "_" +
                                    (rows ? std::string("Rows") + rows : std::string("DefaultRows"));
                         });

} // namespace
