#include <gtest/gtest.h>
#include <sqlext.h>

#include "data/Zel_FieldDef.h"
#include "data/odbc/DatabaseError.h"

namespace {

bool Accepts(SQLSMALLINT type, const std::string& text) {
    TZel_FieldDef field{"F", type, 10, 2};
    try {
        CheckFieldText(field, text, false);
        return true;
    } catch (const EDatabaseError&) {
        return false;
    }
}

TEST(FieldValues, EachTypeTakesOnlyItsOwnTextForm) {
    struct Case {
        SQLSMALLINT type;
        const char* text;
        bool accepted;
    } cases[] = {
        {SQL_INTEGER, "42", true},
        {SQL_INTEGER, "+42", true},
        {SQL_INTEGER, "-7", true},
        {SQL_INTEGER, "4.2", false},
        {SQL_INTEGER, "42 ", false},
        {SQL_INTEGER, "-", false},
        {SQL_INTEGER, "1e3", false},
        {SQL_DECIMAL, "12.50", true},
        {SQL_DECIMAL, "-.5", true},
        {SQL_DECIMAL, "5.", true},
        {SQL_DECIMAL, ".", false},
        {SQL_DECIMAL, "1e3", false},
        {SQL_DECIMAL, "1.2.3", false},
        {SQL_DOUBLE, "1.5e-3", true},
        {SQL_DOUBLE, "2E+10", true},
        {SQL_DOUBLE, "1e", false},
        {SQL_DOUBLE, "e5", false},
        {SQL_TYPE_DATE, "2024-02-29", true},
        {SQL_TYPE_DATE, "2023-02-29", false},
        {SQL_TYPE_DATE, "2024-2-29", false},
        {SQL_TYPE_DATE, "2024-02-29 ", false},
        {SQL_VARCHAR, "anything at all", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Accepts(c.type, c.text), c.accepted) << c.type << " [" << c.text << "]";
}

TEST(FieldValues, FixedPointValuesReadWithTheColumnsPlaces) {
    TZel_FieldDef price{"Price", SQL_DECIMAL, 10, 2};
    struct Case {
        const char* read;
        const char* shown;
    } cases[] = {
        {"12.5", "12.50"},   {"12", "12.00"},      {"-3", "-3.00"},
        {"12.500", "12.50"}, {"12.505", "12.505"}, {"abc", "abc"},
        {"1.", "1."},        {"+5", "+5"},         {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NormaliseFieldText(price, c.read), c.shown) << c.read;
    TZel_FieldDef whole{"Whole", SQL_NUMERIC, 10, 0};
    EXPECT_EQ(NormaliseFieldText(whole, "7.000"), "7");
    TZel_FieldDef text{"Text", SQL_VARCHAR, 10, 0};
    EXPECT_EQ(NormaliseFieldText(text, "12.5"), "12.5");
}

TEST(FieldNames, ExactSpellingFirstThenCaseIgnoredOnlyWhereUnique) {
    auto fields = [](std::initializer_list<const char*> names) {
        TZel_FieldDefs defs;
        for (const char* name : names)
            defs.push_back({name});
        return defs;
    };
    struct Case {
        TZel_FieldDefs fields;
        const char* name;
        int index;
    } cases[] = {
        {fields({"ID", "id"}), "id", 1},
        {fields({"ID", "id"}), "ID", 0},
        {fields({"ID", "id"}), "Id", -1},
        {fields({"Descr", "ItemNo"}), "itemno", 1},
        {fields({"Descr", "ItemNo"}), "ITEMNO", 1},
        {fields({"Descr", "ItemNo"}), "Item", -1},
        {fields({"qty", "Qty", "QTY"}), "QTY", 2},
        {fields({"qty", "Qty"}), "qTY", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindFieldIndex(c.fields, c.name), c.index) << c.name;
    EXPECT_THROW(FieldIndexByName(fields({"ID", "id"}), "Id"), EDatabaseError);
}

} // namespace
