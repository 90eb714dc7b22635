// The filter language against a fixed table: bad filters are refused with
// EDatabaseError only. An accepted filter must come out as SQL made of quoted
// field names of the table, operators, keywords and "?" markers alone (the
// filter's text never becomes SQL), with one bound value per marker; and
// writing it back as a filter (FilterFieldRef, FilterQuotedLiteral) must
// parse to the same condition.

#include <sqlext.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/Zel_Filter.h"
#include "data/odbc/DatabaseError.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& filter) {
    std::fprintf(stderr, "filter: %s in [%s]\n", what, filter.c_str());
    std::abort();
}

TZel_FieldDefs MakeFields() {
    const auto field = [](const char* name, SQLSMALLINT type, bool autoIncrement = false) {
        TZel_FieldDef def;
        def.Name = name;
        def.SqlType = type;
        def.AutoIncrement = autoIncrement;
        if (type == SQL_DECIMAL) {
            def.Size = 10;
            def.DecimalDigits = 2;
        }
        return def;
    };
    return {
        field("Id", SQL_INTEGER, true),  field("Name", SQL_VARCHAR),       field("Qty", SQL_INTEGER),
        field("Price", SQL_DECIMAL),     field("Weight", SQL_DOUBLE),      field("Created", SQL_TYPE_DATE),
        field("At", SQL_TYPE_TIMESTAMP), field("Opens", SQL_TYPE_TIME),    field("Active", SQL_BIT),
        field("Odd ]Name", SQL_CHAR),    field("Say \"x\"", SQL_WVARCHAR), field("Blob", SQL_LONGVARBINARY)};
}

std::string Quote(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

// The SQL with every quoted name replaced by its filter reference and every
// marker by its value as a quoted literal, and without the parentheses that
// NOT adds to its operand; fails on anything a filter could have put into the
// SQL itself.
std::string BackToFilter(const TZel_SqlCondition& condition, const TZel_FieldDefs& fields,
                         const std::string& filter) {
    const std::string& sql = condition.Sql;
    std::string text;
    size_t marker = 0;
    std::vector<bool> added; // per open parenthesis: the one NOT added
    for (size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        if (c == '"') {
            std::string name;
            for (++i;; ++i) {
                if (i >= sql.size())
                    Fail("unterminated name", filter);
                if (sql[i] == '"' && (i + 1 >= sql.size() || sql[i + 1] != '"'))
                    break;
                if (sql[i] == '"')
                    ++i;
                name += sql[i];
            }
            ++i;
            if (FindFieldIndex(fields, name) < 0 || fields[size_t(FindFieldIndex(fields, name))].Name != name)
                Fail("unknown name in SQL", filter);
            text += FilterFieldRef(name);
        } else if (c == '?') {
            if (marker >= condition.Params.size())
                Fail("more markers than values", filter);
            const TZel_SqlParam& param = condition.Params[marker++];
            if (param.FieldIndex < 0 || size_t(param.FieldIndex) >= fields.size())
                Fail("value without a field", filter);
            text += FilterQuotedLiteral(param.Value);
            ++i;
        } else if (c == '(') {
            const bool afterNot = i >= 4 && sql.compare(i - 4, 4, "NOT ") == 0;
            added.push_back(afterNot);
            if (!afterNot)
                text += c;
            ++i;
        } else if (c == ')') {
            if (added.empty())
                Fail("unbalanced parentheses in SQL", filter);
            if (!added.back())
                text += c;
            added.pop_back();
            ++i;
        } else if (std::string(" =<>").find(c) != std::string::npos) {
            text += c;
            ++i;
        } else {
            bool keyword = false;
            for (const std::string word : {"LIKE", "AND", "OR", "NOT"}) {
                if (sql.compare(i, word.size(), word) == 0) {
                    text += word;
                    i += word.size();
                    keyword = true;
                    break;
                }
            }
            if (!keyword)
                Fail("filter text in SQL", filter);
        }
    }
    if (!added.empty())
        Fail("unbalanced parentheses in SQL", filter);
    if (marker != condition.Params.size())
        Fail("values without markers", filter);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TZel_FieldDefs fields = MakeFields();
    const std::string filter(reinterpret_cast<const char*>(data), size);
    TZel_SqlCondition condition;
    try {
        condition = ParseFilter(filter, fields, Quote);
    } catch (const EDatabaseError&) {
        return 0;
    }
    const std::string again = BackToFilter(condition, fields, filter);
    TZel_SqlCondition reparsed;
    try {
        reparsed = ParseFilter(again, fields, Quote);
    } catch (const EDatabaseError&) {
        Fail("written back, the filter is refused", filter);
    }
    if (reparsed.Sql != condition.Sql || reparsed.Params.size() != condition.Params.size())
        Fail("written back, the filter reads differently", filter);
    for (size_t i = 0; i < condition.Params.size(); ++i)
        if (reparsed.Params[i].Value != condition.Params[i].Value ||
            reparsed.Params[i].FieldIndex != condition.Params[i].FieldIndex)
            Fail("written back, a value reads differently", filter);
    return 0;
}
