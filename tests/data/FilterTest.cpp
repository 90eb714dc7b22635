#include "data/Zel_Filter.h"
#include "data/odbc/DatabaseError.h"

#include <sqlext.h>

#include <gtest/gtest.h>

namespace {

TZel_FieldDefs Fields() {
    TZel_FieldDef descr{"Descr", SQL_LONGVARCHAR};
    TZel_FieldDef qty{"Qty", SQL_INTEGER};
    TZel_FieldDef price{"Price", SQL_DECIMAL, 10, 2};
    TZel_FieldDef received{"Received", SQL_TYPE_DATE};
    TZel_FieldDef odd{"Odd]Name", SQL_VARCHAR};
    return {descr, qty, price, received, odd};
}

std::string Quote(const std::string& name) {
    return "\"" + name + "\"";
}

struct Good {
    const char* filter;
    const char* sql;
    std::vector<std::string> values;
};

class FilterGoodTest : public ::testing::TestWithParam<Good> {};

TEST_P(FilterGoodTest, BecomesSqlWithBoundValues) {
    TZel_SqlCondition condition = ParseFilter(GetParam().filter, Fields(), Quote);
    EXPECT_EQ(condition.Sql, GetParam().sql);
    std::vector<std::string> values;
    for (const auto& param : condition.Params)
        values.push_back(param.Value);
    EXPECT_EQ(values, GetParam().values);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterGoodTest,
    ::testing::Values(Good{"", "", {}}, Good{"   ", "", {}},
                      Good{"[Descr] LIKE 'Widget%' AND [Qty] = 7",
                           "\"Descr\" LIKE ? ESCAPE '!' AND \"Qty\" = ?",
                           {"Widget%", "7"}},
                      Good{"[Descr] LIKE 'A_1!\\%'", "\"Descr\" LIKE ? ESCAPE '!'", {"A!_1!!\\%"}},
                      Good{"[Qty] = ' 7 ' AND [Received] = '2024-02-29 '",
                           "\"Qty\" = ? AND \"Received\" = ?",
                           {"7", "2024-02-29"}},
                      Good{"[descr] = 'O''Brien'", "\"Descr\" = ?", {"O'Brien"}},
                      Good{"[Descr] = 'x'' OR ''1''=''1'", "\"Descr\" = ?", {"x' OR '1'='1"}},
                      Good{"NOT ([Qty] >= -2 or [Qty]<>3) and [Price] <= '12.50'",
                           "NOT ((\"Qty\" >= ? OR \"Qty\" <> ?)) AND \"Price\" <= ?",
                           {"-2", "3", "12.50"}},
                      Good{"[Received] > '2024-02-29'", "\"Received\" > ?", {"2024-02-29"}},
                      Good{"[Odd]]Name] = ''", "\"Odd]Name\" = ?", {""}},
                      Good{"[Price] < 150.5", "\"Price\" < ?", {"150.5"}}));

struct Bad {
    const char* filter;
    const char* message;
};

class FilterBadTest : public ::testing::TestWithParam<Bad> {};

TEST_P(FilterBadTest, IsRefusedWithDatabaseError) {
    try {
        ParseFilter(GetParam().filter, Fields(), Quote);
        FAIL() << "accepted " << GetParam().filter;
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterBadTest,
    ::testing::Values(
        Bad{"[Nope] = 1", "Field [Nope] not found"},
        Bad{"[Qty] = A%", "Invalid filter [[Qty] = A%]: expected a quoted text or a number at position 9"},
        Bad{"[Qty] = ", "Invalid filter [[Qty] = ]: expected a quoted text or a number at position 9"},
        Bad{"[Qty] = 7 OR 1=1",
            "Invalid filter [[Qty] = 7 OR 1=1]: expected a field name in brackets at position 14"},
        Bad{"[Qty] = 'abc'", "Invalid value [abc] for field [Qty]"},
        Bad{"[Qty] = 7.5", "Invalid value [7.5] for field [Qty]"},
        Bad{"[Received] = '2023-02-29'", "Invalid value [2023-02-29] for field [Received]"},
        Bad{"[Price] = ''", "Invalid value [] for field [Price]"},
        Bad{"[Qty] LIKE '7%'", "LIKE needs a text field, [Qty] is not one"},
        Bad{"[Descr] = 'open", "Invalid filter [[Descr] = 'open]: unterminated text literal at position 16"},
        Bad{"([Qty] = 1", "Invalid filter [([Qty] = 1]: missing ) at position 11"},
        Bad{"[Qty] = 1; DROP TABLE Stock",
            "Invalid filter [[Qty] = 1; DROP TABLE Stock]: expected a quoted text or a number at position 9"},
        Bad{"[Qty] == 1", "Invalid filter [[Qty] == 1]: expected a quoted text or a number at position 8"}));

TEST(FilterPieces, QuoteAndBracketAreDoubled) {
    EXPECT_EQ(FilterQuotedLiteral("it's"), "'it''s'");
    EXPECT_EQ(FilterFieldRef("a]b"), "[a]]b]");
    EXPECT_TRUE(IsNumberText("-12.5"));
    EXPECT_FALSE(IsNumberText("7 OR 1=1"));
    EXPECT_FALSE(IsNumberText(""));
}

} // namespace
