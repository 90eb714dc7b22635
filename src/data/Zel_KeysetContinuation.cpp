#include "data/Zel_KeysetContinuation.h"

#include <utility>

// OR over i of (the fields before i equal the key's) AND (field i after the
// key's), with a NULL equal only to NULL and ordered as the connection orders
// it. A leading bound on the first fields lets an index serve the seek.
TZel_SqlCondition SeekAfterCondition(const TZel_SeekKey& key, const TZel_FieldDefs& fields,
                                     const std::vector<std::string>& quotedFields, bool nullsLow) {
    TZel_SqlCondition condition;
    std::string alternatives;
    size_t count = 0;
    for (size_t i = 0; i < key.Fields.size(); ++i) {
        const int field = key.Fields[i];
        const std::string& column = quotedFields[static_cast<size_t>(field)];
        const std::optional<std::string>& value = key.Values[i];
        std::string after;
        if (!value) {
            // Nothing sorts after NULL when NULLs sort high.
            if (!nullsLow)
                continue;
            after = column + " IS NOT NULL";
        } else if (nullsLow || !fields[static_cast<size_t>(field)].Nullable) {
            after = column + " > ?";
        } else {
            after = "(" + column + " > ? OR " + column + " IS NULL)";
        }
        std::string terms;
        for (size_t j = 0; j < i; ++j) {
            const std::string& earlier = quotedFields[static_cast<size_t>(key.Fields[j])];
            terms += (key.Values[j] ? earlier + " = ?" : earlier + " IS NULL") + " AND ";
            if (key.Values[j])
                condition.Params.push_back({*key.Values[j], key.Fields[j]});
        }
        if (value)
            condition.Params.push_back({*value, field});
        alternatives += (count++ ? " OR " : "") + (i ? "(" + terms + after + ")" : after);
    }
    if (count == 0) {
        condition.Sql = "1 = 0";
        return condition;
    }
    condition.Sql = count > 1 ? "(" + alternatives + ")" : alternatives;
    // The leading fields whose values bound every row after the key from
    // below: a row comparison over them is a range an index can seek to.
    size_t bounded = 0;
    while (bounded < key.Fields.size() && key.Values[bounded] &&
           (nullsLow || !fields[static_cast<size_t>(key.Fields[bounded])].Nullable))
        ++bounded;
    if (key.Fields.size() > 1 && bounded > 0) {
        std::string columns;
        std::string markers;
        std::vector<TZel_SqlParam> params;
        for (size_t i = 0; i < bounded; ++i) {
            columns += (i ? ", " : "") + quotedFields[static_cast<size_t>(key.Fields[i])];
            markers += i ? ", ?" : "?";
            params.push_back({*key.Values[i], key.Fields[i]});
        }
        condition.Sql = (bounded > 1 ? "(" + columns + ") >= (" + markers + ")" : columns + " >= ?") +
                        " AND " + condition.Sql;
        condition.Params.insert(condition.Params.begin(), params.begin(), params.end());
    }
    return condition;
}

void TZel_KeysetContinuation::Remember(TZel_WindowShape shape, int64_t nextRow, TZel_SeekKey key) {
    m_shape = std::move(shape);
    m_nextRow = nextRow;
    m_key = std::move(key);
}

std::optional<TZel_SeekKey> TZel_KeysetContinuation::Take(const TZel_WindowShape& shape, int64_t startRow) {
    std::optional<TZel_SeekKey> key;
    if (Holds() && startRow == m_nextRow && shape == m_shape && !m_key.Empty())
        key = std::move(m_key);
    Forget();
    return key;
}

void TZel_KeysetContinuation::Forget() {
    m_shape = {};
    m_nextRow = 0;
    m_key = {};
}
