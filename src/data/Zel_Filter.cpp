#include "data/Zel_Filter.h"

#include "data/odbc/DatabaseError.h"

#include <cctype>

namespace {

constexpr int kMaxNesting = 64;

// "%" is the only wildcard of the language. "_" (a wildcard of SQL) and the
// escape character itself are escaped, and the escape character is named,
// so that no DBMS reads any other character as special ("\" is an escape
// of PostgreSQL's by default).
constexpr char kLikeEscape = '!';

std::string LikePattern(const std::string& value) {
    std::string pattern;
    pattern.reserve(value.size());
    for (char c : value) {
        if (c == '_' || c == kLikeEscape)
            pattern += kLikeEscape;
        pattern += c;
    }
    return pattern;
}

class TFilterParser {
public:
    TFilterParser(const std::string& text, const TZel_FieldDefs& fields, const TZel_QuoteIdentifier& quote)
        : m_text(text), m_fields(fields), m_quote(quote) {}

    TZel_SqlCondition Parse() {
        SkipBlanks();
        if (AtEnd())
            return {};
        std::string sql = ParseOr(0);
        SkipBlanks();
        if (!AtEnd())
            Fail("unexpected text");
        return {sql, std::move(m_params)};
    }

private:
    [[noreturn]] void Fail(const std::string& reason) const {
        throw EDatabaseError("Invalid filter [" + m_text + "]: " + reason + " at position " +
                             std::to_string(m_pos + 1));
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }
    void SkipBlanks() {
        while (!AtEnd() && std::isspace(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
    }

    // A keyword followed by something that cannot continue a word.
    bool TakeKeyword(const char* word) {
        SkipBlanks();
        size_t length = std::char_traits<char>::length(word);
        if (m_text.size() - m_pos < length)
            return false;
        for (size_t i = 0; i < length; ++i)
            if (std::toupper(static_cast<unsigned char>(m_text[m_pos + i])) != word[i])
                return false;
        char next = m_pos + length < m_text.size() ? m_text[m_pos + length] : '\0';
        if (std::isalnum(static_cast<unsigned char>(next)) || next == '_')
            return false;
        m_pos += length;
        return true;
    }

    std::string ParseOr(int depth) {
        std::string sql = ParseAnd(depth);
        while (TakeKeyword("OR"))
            sql += " OR " + ParseAnd(depth);
        return sql;
    }

    std::string ParseAnd(int depth) {
        std::string sql = ParseNot(depth);
        while (TakeKeyword("AND"))
            sql += " AND " + ParseNot(depth);
        return sql;
    }

    std::string ParseNot(int depth) {
        if (TakeKeyword("NOT"))
            return "NOT (" + ParseNot(depth + 1) + ")";
        return ParsePrimary(depth);
    }

    std::string ParsePrimary(int depth) {
        if (depth > kMaxNesting)
            Fail("nested too deeply");
        SkipBlanks();
        if (Peek() == '(') {
            ++m_pos;
            std::string inner = ParseOr(depth + 1);
            SkipBlanks();
            if (Peek() != ')')
                Fail("missing )");
            ++m_pos;
            return "(" + inner + ")";
        }
        return ParseTerm();
    }

    std::string ParseFieldName() {
        if (Peek() != '[')
            Fail("expected a field name in brackets");
        ++m_pos;
        std::string name;
        while (true) {
            if (AtEnd())
                Fail("missing ]");
            char c = m_text[m_pos++];
            if (c == ']') {
                if (Peek() != ']')
                    break;
                ++m_pos;
            }
            name += c;
        }
        return name;
    }

    std::string ParseOperator() {
        SkipBlanks();
        for (const char* op : {"<=", ">=", "<>", "=", "<", ">"}) {
            if (m_text.compare(m_pos, std::char_traits<char>::length(op), op) == 0) {
                m_pos += std::char_traits<char>::length(op);
                return op;
            }
        }
        if (TakeKeyword("LIKE"))
            return "LIKE";
        Fail("expected a comparison operator");
    }

    std::string ParseLiteral() {
        SkipBlanks();
        if (Peek() == '\'') {
            ++m_pos;
            std::string value;
            while (true) {
                if (AtEnd())
                    Fail("unterminated text literal");
                char c = m_text[m_pos++];
                if (c == '\'') {
                    if (Peek() != '\'')
                        return value;
                    ++m_pos;
                }
                value += c;
            }
        }
        size_t start = m_pos;
        while (!AtEnd() && !std::isspace(static_cast<unsigned char>(Peek())) && Peek() != ')')
            ++m_pos;
        std::string number = m_text.substr(start, m_pos - start);
        if (!IsNumberText(number)) {
            m_pos = start;
            Fail("expected a quoted text or a number");
        }
        return number;
    }

    std::string ParseTerm() {
        std::string name = ParseFieldName();
        int index = FieldIndexByName(m_fields, name);
        const TZel_FieldDef& field = m_fields[static_cast<size_t>(index)];
        std::string op = ParseOperator();
        std::string value = ParseLiteral();
        if (op == "LIKE") {
            if (field.Class() != TZel_FieldClass::Text)
                throw EDatabaseError("LIKE needs a text field, [" + field.Name + "] is not one");
            m_params.push_back({LikePattern(value), index});
            return m_quote(field.Name) + " LIKE ? ESCAPE '" + kLikeEscape + "'";
        }
        value = FieldValueText(field, value);
        CheckFieldText(field, value, false);
        m_params.push_back({value, index});
        return m_quote(field.Name) + " " + op + " ?";
    }

    const std::string& m_text;
    const TZel_FieldDefs& m_fields;
    const TZel_QuoteIdentifier& m_quote;
    size_t m_pos = 0;
    std::vector<TZel_SqlParam> m_params;
};

} // namespace

TZel_SqlCondition ParseFilter(const std::string& filter, const TZel_FieldDefs& fields,
                              const TZel_QuoteIdentifier& quote) {
    return TFilterParser(filter, fields, quote).Parse();
}

std::string FilterFieldRef(const std::string& name) {
    std::string ref = "[";
    for (char c : name) {
        ref += c;
        if (c == ']')
            ref += ']';
    }
    return ref + "]";
}

std::string FilterQuotedLiteral(const std::string& value) {
    std::string literal = "'";
    for (char c : value) {
        literal += c;
        if (c == '\'')
            literal += '\'';
    }
    return literal + "'";
}
