#pragma once

#include "data/Zel_FieldDef.h"
#include "data/Zel_Filter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The sort key of one row: the fields a window is ordered by (the request's
// sort fields, then the row's identity) and the texts the database returned
// for them, no value for NULL.
struct TZel_SeekKey {
    std::vector<int> Fields;
    std::vector<std::optional<std::string>> Values;

    bool Empty() const { return Fields.empty(); }
};

// The condition "the row comes after key" in ascending order of the key's
// fields, NULLs placed as the connection places them (low: before every
// value). Values are bound with their field's type; NULLs are never bound.
TZel_SqlCondition SeekAfterCondition(const TZel_SeekKey& key, const TZel_FieldDefs& fields,
                                     const std::vector<std::string>& quotedFields, bool nullsLow);

// What a select window was read for: the filter, the request's sort fields and
// the result columns, as field indexes.
struct TZel_WindowShape {
    std::string Filter;
    std::vector<int> Order;
    std::vector<int> Columns;

    bool operator==(const TZel_WindowShape&) const = default;
};

// Where a handheld's download stands: the sort key of the last row the
// previous window returned, so that the window after it is read by seeking
// past that row rather than by counting off every row before it.
class TZel_KeysetContinuation {
public:
    // The window of shape starting at nextRow continues after key.
    void Remember(TZel_WindowShape shape, int64_t nextRow, TZel_SeekKey key);
    // The key to seek past when a window of shape starting at startRow
    // continues the one remembered; the continuation is forgotten either way.
    std::optional<TZel_SeekKey> Take(const TZel_WindowShape& shape, int64_t startRow);
    void Forget();
    bool Holds() const { return m_nextRow > 0; }

private:
    TZel_WindowShape m_shape;
    int64_t m_nextRow = 0; // none when not positive
    TZel_SeekKey m_key;
};
