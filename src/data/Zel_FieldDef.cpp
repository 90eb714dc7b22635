#include "data/Zel_FieldDef.h"

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"

#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <regex>

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (x != y && std::tolower(x) != std::tolower(y))
            return false;
    }
    return true;
}

bool IsIntegerType(int sqlType) {
    return sqlType == SQL_TINYINT || sqlType == SQL_SMALLINT || sqlType == SQL_INTEGER ||
           sqlType == SQL_BIGINT;
}

bool ValidDate(int year, int month, int day) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1)
        return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool ValidTime(int hour, int minute, int second) {
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

bool Matches(const std::string& text, const std::regex& pattern, std::smatch& match) {
    return std::regex_match(text, match, pattern);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits from at on; returns how many.
size_t SkipDigits(const std::string& text, size_t& at) {
    const size_t start = at;
    while (at < text.size() && IsDigit(text[at]))
        ++at;
    return at - start;
}

void SkipSign(const std::string& text, size_t& at, bool allowPlus) {
    if (at < text.size() && (text[at] == '-' || (allowPlus && text[at] == '+')))
        ++at;
}

// [+-]?\d+
bool IsIntegerText(const std::string& text) {
    size_t at = 0;
    SkipSign(text, at, true);
    return SkipDigits(text, at) > 0 && at == text.size();
}

// [+-]?(\d+(\.\d*)?|\.\d+), then with exponent [eE][+-]?\d+ when allowed.
bool IsDecimalText(const std::string& text, bool allowExponent) {
    size_t at = 0;
    SkipSign(text, at, true);
    const size_t whole = SkipDigits(text, at);
    size_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        fraction = SkipDigits(text, at);
    }
    if (whole == 0 && fraction == 0)
        return false;
    if (allowExponent && at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        SkipSign(text, at, true);
        if (SkipDigits(text, at) == 0)
            return false;
    }
    return at == text.size();
}

// (\d{4})-(\d{2})-(\d{2}), a valid calendar date.
bool IsDateText(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!IsDigit(text[i]))
            return false;
    return ValidDate(std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)),
                     std::stoi(text.substr(8, 2)));
}

bool IsValueOf(const TZel_FieldDef& field, const std::string& text) {
    static const std::regex time(R"((\d{2}):(\d{2})(:(\d{2})(\.\d+)?)?)");
    static const std::regex timestamp(R"((\d{4})-(\d{2})-(\d{2})([ T](\d{2}):(\d{2})(:(\d{2})(\.\d+)?)?)?)");
    static const std::regex bit(R"(0|1|[Tt][Rr][Uu][Ee]|[Ff][Aa][Ll][Ss][Ee])");
    std::smatch m;
    int type = field.SqlType;
    if (IsIntegerType(type))
        return IsIntegerText(text);
    if (type == SQL_REAL || type == SQL_FLOAT || type == SQL_DOUBLE)
        return IsDecimalText(text, true);
    if (type == SQL_DECIMAL || type == SQL_NUMERIC)
        return IsDecimalText(text, false);
    if (field.AutoIncrement)
        return IsIntegerText(text);
    if (type == SQL_TYPE_DATE || type == SQL_DATE)
        return IsDateText(text);
    if (type == SQL_TYPE_TIME || type == SQL_TIME)
        return Matches(text, time, m) &&
               ValidTime(std::stoi(m[1]), std::stoi(m[2]), m[4].matched ? std::stoi(m[4]) : 0);
    if (type == SQL_TYPE_TIMESTAMP || type == SQL_TIMESTAMP)
        return Matches(text, timestamp, m) && ValidDate(std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])) &&
               (!m[4].matched ||
                ValidTime(std::stoi(m[5]), std::stoi(m[6]), m[8].matched ? std::stoi(m[8]) : 0));
    if (type == SQL_BIT)
        return std::regex_match(text, bit);
    return true;
}

} // namespace

bool IsNumberText(const std::string& text) {
    return IsDecimalText(text, true);
}

std::string FieldValueText(const TZel_FieldDef& field, const std::string& text) {
    if (field.Class() == TZel_FieldClass::Text)
        return text;
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsTextFieldType(int sqlType) {
    switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_BINARY:
    case SQL_VARBINARY:
        return true;
    default:
        return false;
    }
}

bool IsNumericFieldType(int sqlType) {
    switch (sqlType) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return true;
    default:
        return false;
    }
}

TZel_FieldClass TZel_FieldDef::Class() const {
    if (IsTextFieldType(SqlType))
        return TZel_FieldClass::Text;
    if (IsNumericFieldType(SqlType) || AutoIncrement)
        return TZel_FieldClass::Numeric;
    return TZel_FieldClass::Other;
}

// A quoted name may differ from another column's only by case (PostgreSQL
// keeps "ID" apart from id): the exact spelling wins, and a name spelled in
// another case resolves only where it fits one column alone.
int FindFieldIndex(const TZel_FieldDefs& fields, const std::string& name) {
    int found = -1;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].Name == name)
            return static_cast<int>(i);
        if (EqualNoCase(fields[i].Name, name))
            found = found == -1 ? static_cast<int>(i) : -2;
    }
    return found < 0 ? -1 : found;
}

bool IsSqliteTextOrIntegerAffinity(std::string type) {
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const char* word : {"INT", "CHAR", "CLOB", "TEXT"})
        if (type.find(word) != std::string::npos)
            return true;
    return false;
}

int FieldIndexByName(const TZel_FieldDefs& fields, const std::string& name) {
    int index = FindFieldIndex(fields, name);
    if (index < 0)
        throw EDatabaseError("Field [" + name + "] not found");
    return index;
}

void CheckFieldText(const TZel_FieldDef& field, const std::string& text, bool allowEmpty) {
    if (field.Class() == TZel_FieldClass::Text)
        return;
    if (text.empty() ? !allowEmpty : !IsValueOf(field, text))
        throw EDatabaseError("Invalid value [" + text + "] for field [" + field.Name + "]");
}

bool IsFieldValueText(const TZel_FieldDef& field, const std::string& text) {
    return field.Class() == TZel_FieldClass::Text || (!text.empty() && IsValueOf(field, text));
}

std::string NormaliseFieldText(const TZel_FieldDef& field, std::string text) {
    if (field.SqlType != SQL_DECIMAL && field.SqlType != SQL_NUMERIC)
        return text;
    // Only plain numbers, -?\d+(\.\d+)?, are brought to the column's scale.
    size_t at = 0;
    SkipSign(text, at, false);
    if (SkipDigits(text, at) == 0)
        return text;
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (SkipDigits(text, at) == 0)
            return text;
    }
    if (at != text.size())
        return text;
    size_t point = text.find('.');
    size_t places = point == std::string::npos ? 0 : text.size() - point - 1;
    size_t wanted = field.DecimalDigits > 0 ? static_cast<size_t>(field.DecimalDigits) : 0;
    if (places < wanted) {
        if (point == std::string::npos)
            text += '.';
        text.append(wanted - places, '0');
    } else if (places > wanted && text.find_first_not_of('0', point + 1 + wanted) == std::string::npos) {
        // only zeros beyond the scale: drop them (and a bare point)
        text.erase(wanted == 0 ? point : point + 1 + wanted);
    }
    return text;
}

namespace {

TZel_FieldDef FieldDefFromColumn(const TOdbcColumn& column) {
    TZel_FieldDef field;
    field.Name = column.Name;
    field.SqlType = column.SqlType;
    field.Size = column.Size;
    field.DecimalDigits = column.DecimalDigits;
    field.Nullable = column.Nullable;
    field.AutoIncrement = column.AutoIncrement;
    field.TypeName = column.TypeName;
    field.Required = !column.Nullable && !column.AutoIncrement;
    return field;
}

} // namespace

void LoadFieldDefs(TOdbcConnection& connection, const std::string& table, TZel_FieldDefs& fields,
                   std::vector<std::string>& quotedFields) {
    const std::vector<TOdbcColumn> columns = connection.Columns(table);
    fields.clear();
    quotedFields.clear();
    for (const TOdbcColumn& column : columns) {
        fields.push_back(FieldDefFromColumn(column));
        quotedFields.push_back(connection.QuoteIdentifier(column.Name));
    }
}
