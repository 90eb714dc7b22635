#pragma once

#include "data/Zel_FieldDef.h"
#include "data/Zel_Filter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TOdbcConnection;
class TOdbcStatement;

// A value of a column as read or to be written; IsNull keeps SQL NULL apart
// from empty text.
struct TZel_Value {
    std::string Text;
    bool IsNull = false;

    bool operator==(const TZel_Value& other) const {
        return IsNull == other.IsNull && (IsNull || Text == other.Text);
    }
};

// One row of a window: every column's value in field order, then, where the
// browser identifies rows by SQLite's rowid, the rowid. The same values
// identify the row again for an update or a delete.
using TZel_Row = std::vector<TZel_Value>;

// Changes to a row, one slot per field; an empty slot leaves the column alone.
using TZel_RowChanges = std::vector<std::optional<TZel_Value>>;

struct TZel_SortField {
    int Field = 0;
    bool Descending = false;
};

// Browsing and editing a whole table of any size: rows are read in windows
// (offset and count) by statements that are closed before the call returns,
// so no reader stays open between the operator's actions.
//
// The order of the rows is total, so that windows read at different times
// fit together: the sort fields, then the primary key, else the driver's best
// row identifier, else every column (and SQLite's rowid). A row is written or
// deleted by that identity, else by SQLite's rowid, else by every column's
// original value, inside a transaction that is rolled back unless exactly one
// row was touched. Original values that may not compare equal to what is
// stored (floating point read as text) identify no row: such an edit is
// refused, since it might hit another row that reads the same.
//
// Filters are texts of the filter language; they reach SQL only as quoted
// identifiers and bound values.
class TZel_TableBrowser {
public:
    TZel_TableBrowser(std::shared_ptr<TOdbcConnection> connection, std::string tableName);
    ~TZel_TableBrowser();
    TZel_TableBrowser(const TZel_TableBrowser&) = delete;
    TZel_TableBrowser& operator=(const TZel_TableBrowser&) = delete;

    // Reads the field definitions and the row identity; raises the driver's
    // error for a table that does not exist. Letter case of the name is forgiven.
    void Open();
    bool IsOpen() const { return m_open; }
    const std::string& TableName() const { return m_tableName; }
    const TZel_FieldDefs& Fields() const { return m_fields; }
    // Columns that identify a row (primary key or best row identifier);
    // empty when a row is identified by all its values.
    const std::vector<int>& IdentityFields() const { return m_identity; }
    bool HasPrimaryKey() const { return m_hasPrimaryKey; }
    // Whether rows carry SQLite's rowid as their identity (after the fields).
    bool UsesRowid() const { return !m_rowidName.empty(); }

    // Raises EDatabaseError (the filter language's message) when the table
    // does not accept the filter; the previous filter then stays.
    void SetFilter(const std::string& filter);
    const std::string& Filter() const { return m_filterText; }
    void SetSort(std::vector<TZel_SortField> sort);
    const std::vector<TZel_SortField>& Sort() const { return m_sort; }

    // Rows that pass the filter.
    int64_t RowCount();
    // Rows offset .. offset+count-1 in order; fewer at the end. A window in
    // the back half of rowCount (when given) is read in reverse order from
    // the end, so that the last rows come as quickly as the first.
    std::vector<TZel_Row> ReadWindow(int64_t offset, int64_t count, int64_t rowCount = -1);

    // Writes the changed columns of row (as it was read); unchanged slots
    // and values equal to the original are not written. Returns false when
    // nothing needed writing.
    bool UpdateRow(const TZel_Row& row, const TZel_RowChanges& changes);
    // Inserts a row with the given columns; the others take their defaults.
    void InsertRow(const TZel_RowChanges& values);
    void DeleteRow(const TZel_Row& row);

    // Raises "Invalid value [text] for field [name]" unless text can be stored in field.
    void CheckValue(int field, const TZel_Value& value) const;

private:
    void LoadFields();
    std::string RowidName();
    void CheckExactValues(const TZel_Row& row, const char* what) const;
    TZel_SqlCondition RowIdentity(const TZel_Row& row, const char* what) const;
    std::string OrderBy(bool reverse) const;
    std::string WhereClause(const TZel_SqlCondition& condition) const;
    int BindCondition(TOdbcStatement& statement, const TZel_SqlCondition& condition, int first) const;
    void BindValue(TOdbcStatement& statement, int index, int field, const TZel_Value& value) const;
    // Runs statement in a transaction; raises unless it touched exactly one row.
    void ExecuteOneRow(TOdbcStatement& statement, const char* what);

    std::shared_ptr<TOdbcConnection> m_connection;
    std::string m_tableName;
    std::string m_quotedTable;
    TZel_FieldDefs m_fields;
    std::vector<std::string> m_quotedFields;
    std::vector<int> m_identity;
    std::vector<int> m_orderTail; // identity, else every column
    std::string m_rowidName;      // SQLite's rowid under a name no column takes; empty: none
    bool m_hasPrimaryKey = false;
    bool m_open = false;
    std::string m_filterText;
    TZel_SqlCondition m_filter;
    std::vector<TZel_SortField> m_sort;
};
