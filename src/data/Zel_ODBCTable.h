#pragma once

#include "data/Zel_FieldDef.h"
#include "data/Zel_Filter.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TOdbcConnection;
class TOdbcStatement;

enum TZel_DataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

// A cursor on one table of a connection: field definitions in table order,
// a filter in the filter language, a sort order, navigation, and editing with
// edit / insert / post / delete / cancel.
//
// Navigation runs one SELECT with the filter and sort, started lazily and
// read row by row. The row to update or delete is found by the primary key,
// else the driver's best row identifier, else all its original values; a
// change that would touch any number of rows but one is rolled back.
//
// The *Where operations run one statement for a whole request (the server's
// requests); they leave the navigation state alone.
class TZel_ODBCTable {
public:
    TZel_ODBCTable(std::shared_ptr<TOdbcConnection> connection, std::string tableName);
    ~TZel_ODBCTable();
    TZel_ODBCTable(const TZel_ODBCTable&) = delete;
    TZel_ODBCTable& operator=(const TZel_ODBCTable&) = delete;

    // Reads the field definitions on the first call; raises the driver's error
    // for a table that does not exist. Letter case of the name is forgiven.
    void Open();
    void Close();
    bool Active() const { return m_state != dsInactive; }
    TZel_DataSetState State() const { return m_state; }
    const std::string& TableName() const { return m_tableName; }
    const TZel_FieldDefs& Fields() const { return m_fields; }
    TOdbcConnection& Connection() const { return *m_connection; }

    int FindField(const std::string& name) const { return FindFieldIndex(m_fields, name); }
    // Field indexes of the primary key, in key order; empty when the table has none.
    const std::vector<int>& KeyFields() const { return m_keyFields; }
    // Raises the field-not-found EDatabaseError.
    int FieldByName(const std::string& name) const { return FieldIndexByName(m_fields, name); }
    void SetRequiredChecks(bool on);

    // Filter (filter language) and sort (field names joined with ";") take
    // effect at the next Open or First.
    void SetFilter(const std::string& filter) { m_filter = filter; }
    const std::string& Filter() const { return m_filter; }
    void SetFiltered(bool filtered) { m_filtered = filtered; }
    bool Filtered() const { return m_filtered; }
    void SetSort(const std::string& sortFields) { m_sort = sortFields; }
    const std::string& Sort() const { return m_sort; }

    // Rows that pass the current filter.
    int64_t RecordCount();
    void First();
    void Next();
    bool Eof();
    // Value of the current row (or of the row being edited) as text; NULL
    // reads as empty text.
    std::string FieldText(int index);
    bool FieldIsNull(int index);

    void Edit();
    void Insert();
    // An empty text stores NULL in a non-text field.
    void SetFieldText(int index, const std::string& text);
    // Writes the edited or new row; returns the number of rows written.
    int64_t Post();
    // Deletes the current row; the cursor then stands on the next one.
    void Delete();
    void Cancel();

    // --- one statement per request ---
    int64_t CountWhere(const std::string& filter);
    // Reads rows offset .. offset+limit-1 (limit < 0: to the end) of the rows
    // matching filter in sort order; columns are field indexes. onRow gets each
    // row's texts and returns false to stop reading. Returns the rows read.
    using RowSink = std::function<bool(std::vector<std::string>& row)>;
    int64_t ReadWindow(const std::string& filter, const std::string& sort, const std::vector<int>& columns,
                       int64_t offset, int64_t limit, const RowSink& onRow);
    // Whether a matching row exists at position offset.
    bool RowExistsAt(const std::string& filter, int64_t offset);
    // Edits every row matching filter: the next Post updates them all.
    void EditWhere(const std::string& filter);
    int64_t DeleteWhere(const std::string& filter);

private:
    struct Assigned {
        std::string Text;
        bool IsNull = false;
    };

    void LoadFields();
    TZel_SqlCondition Condition(const std::string& filter) const;
    std::string WhereClause(const TZel_SqlCondition& condition) const;
    std::string OrderByClause(const std::string& sort) const;
    std::vector<int> TieBreakFields() const;
    std::string ColumnList(const std::vector<int>& columns) const;
    int BindCondition(TOdbcStatement& statement, const TZel_SqlCondition& condition, int first) const;
    void BindValue(TOdbcStatement& statement, int index, int field, const std::string& text,
                   bool isNull) const;
    void EnsureCursor();
    void FetchRow();
    TZel_SqlCondition RowIdentity() const;
    int64_t PostUpdate();
    int64_t PostInsert();
    void CheckRequired() const;
    std::vector<int> AllColumns() const;

    std::shared_ptr<TOdbcConnection> m_connection;
    std::string m_tableName;
    std::string m_quotedTable;
    TZel_FieldDefs m_fields;
    std::vector<std::string> m_quotedFields; // names as SQL identifiers, in field order
    std::vector<int> m_keyFields;            // primary key
    std::vector<int> m_identity;             // how a row is found again; empty: all values
    bool m_fieldsLoaded = false;
    TZel_DataSetState m_state = dsInactive;
    std::string m_filter;
    bool m_filtered = false;
    std::string m_sort;

    std::unique_ptr<TOdbcStatement> m_cursor;
    bool m_eof = true;
    std::vector<std::string> m_row;
    std::vector<bool> m_rowNull;
    std::vector<std::optional<Assigned>> m_assigned;
    std::optional<std::string> m_editWhere;
};
