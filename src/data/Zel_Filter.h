#pragma once

#include "data/Zel_FieldDef.h"

#include <functional>
#include <string>
#include <vector>

// A value bound to a "?" marker, with the SQL type of the field it meets.
struct TZel_SqlParam {
    std::string Value;
    int FieldIndex = -1;
};

// A condition ready for a WHERE clause.
struct TZel_SqlCondition {
    std::string Sql; // empty: every row
    std::vector<TZel_SqlParam> Params;
};

using TZel_QuoteIdentifier = std::function<std::string(const std::string&)>;

// The filter language: terms "[Field] op literal" with op one of = <> < > <=
// >= LIKE (where "%" matches any run of characters and every other character
// only itself), literals in single quotes ('' for a quote) or numbers, joined with
// AND, OR, NOT and parentheses. Field names are checked against the table
// (field-not-found), literals against the field's type; the result has
// quoted identifiers and bound values, so filter text never becomes SQL.
// Anything else raises EDatabaseError. A blank filter matches every row.
TZel_SqlCondition ParseFilter(const std::string& filter, const TZel_FieldDefs& fields,
                              const TZel_QuoteIdentifier& quote);

// Pieces for writing filter texts: "[name]" with "]" doubled, and a quoted
// literal with "'" doubled. Number literals follow IsNumberText.
std::string FilterFieldRef(const std::string& name);
std::string FilterQuotedLiteral(const std::string& value);
