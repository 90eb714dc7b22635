#pragma once

#include "data/Zel_FieldDef.h"
#include "data/Zel_Filter.h"
#include "data/Zel_KeysetContinuation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TOdbcConnection;
class TOdbcStatement;

// One table of a connection as a session's requests use it: the field
// definitions in table order, and one statement per request that counts,
// reads a window of rows, updates, inserts or deletes the rows a filter (in
// the filter language) selects.
//
// Sort orders are field indexes. Ties are broken by the row's identity (the
// primary key, else the driver's best row identifier), else by every column,
// so that windows read by separate requests fit together.
class TZel_ODBCTable {
public:
    TZel_ODBCTable(std::shared_ptr<TOdbcConnection> connection, std::string tableName);
    ~TZel_ODBCTable();
    TZel_ODBCTable(const TZel_ODBCTable&) = delete;
    TZel_ODBCTable& operator=(const TZel_ODBCTable&) = delete;

    // Reads the field definitions on the first call; raises the driver's error
    // for a table that does not exist. Letter case of the name is forgiven.
    void Open();
    // The catalog's spelling of the name once open.
    const std::string& TableName() const { return m_tableName; }
    const TZel_FieldDefs& Fields() const { return m_fields; }
    TOdbcConnection& Connection() const { return *m_connection; }
    // Runs the next statements on another connection to the same data source
    // (the field definitions stay).
    void AttachConnection(std::shared_ptr<TOdbcConnection> connection);

    int FindField(const std::string& name) const { return FindFieldIndex(m_fields, name); }
    // Field indexes of the primary key, in key order; empty when the table has none.
    const std::vector<int>& KeyFields() const { return m_keyFields; }
    // Raises the field-not-found EDatabaseError.
    int FieldByName(const std::string& name) const { return FieldIndexByName(m_fields, name); }
    void SetRequiredChecks(bool on);

    // --- values for the next UpdateWhere or InsertRow, by field index ---
    void ClearValues();
    // Checks text against the field's type (FieldValueText first); an empty
    // text stores NULL in a field that is not text.
    void SetFieldText(int index, const std::string& text);

    // --- one statement per request ---
    int64_t CountWhere(const std::string& filter);
    // Reads rows offset .. offset+limit-1 (limit < 0: to the end) of the rows
    // matching filter in the order of the fields of order; columns are field
    // indexes. onRow gets each row's texts (NULL as empty text) and returns
    // false to stop reading. Returns the rows read.
    using RowSink = std::function<bool(std::vector<std::string>& row)>;
    // Reading by seeking: with After set (and the order still the one it was
    // taken in) the rows read are those after that key, and offset is not
    // applied; Sought tells whether it was. LastKey receives the sort key of
    // the last row onRow accepted (returned true for), or stays empty when the
    // order is not total or a value cannot be bound back exactly.
    struct Seek {
        const TZel_SeekKey* After = nullptr;
        TZel_SeekKey* LastKey = nullptr;
        bool Sought = false;
    };
    int64_t ReadWindow(const std::string& filter, const std::vector<int>& order,
                       const std::vector<int>& columns, int64_t offset, int64_t limit, const RowSink& onRow,
                       Seek* seek = nullptr);
    // Whether a matching row exists at position offset.
    bool RowExistsAt(const std::string& filter, int64_t offset);
    // Writes the values set to every row matching filter; returns the rows
    // updated. The values are cleared, also when the statement fails.
    int64_t UpdateWhere(const std::string& filter);
    // Inserts one row with the values set (the others take their defaults);
    // the values are cleared.
    int64_t InsertRow();
    int64_t DeleteWhere(const std::string& filter);

    // --- locks of the database, held until the transaction ends ---
    // Writers of one key (rowKey: any text that names the key and its
    // column) wait for each other, in every process on the database; they
    // share the table with each other but wait for LockTable. On SQLite the
    // first write of a transaction takes the file's write lock, so these do
    // nothing there.
    void LockKey(const std::string& rowKey);
    // Waits for, and holds up, every LockKey and LockTableShared of the table.
    void LockTable();
    void LockTableShared();

private:
    void TakeAdvisoryLock(const std::string& sql, const std::vector<std::string>& texts);

    struct Value {
        std::string Text;
        bool IsNull = false;
    };
    using Values = std::vector<std::optional<Value>>; // by field index

    void LoadFields();
    TZel_SqlCondition Condition(const std::string& filter) const;
    std::string WhereClause(const TZel_SqlCondition& condition) const;
    std::string OrderByClause(const std::vector<int>& sortFields) const;
    // The fields rows are ordered by: those of order, then the tie-break fields.
    std::vector<int> SortFields(const std::vector<int>& order) const;
    std::vector<int> TieBreakFields() const;
    bool HasUniqueIdentity() const;
    bool CanSeek(const std::vector<int>& sortFields) const;
    bool IsExactKey(const TZel_SeekKey& key) const;
    std::string ColumnList(const std::vector<int>& columns) const;
    std::vector<int> AllColumns() const;
    int BindCondition(TOdbcStatement& statement, const TZel_SqlCondition& condition, int first) const;
    void BindValue(TOdbcStatement& statement, int index, int field, const std::string& text,
                   bool isNull) const;
    void CheckRequired(const Values& values, bool inserting) const;
    static std::vector<int> GivenFields(const Values& values);
    int BindValues(TOdbcStatement& statement, const Values& values, const std::vector<int>& fields,
                   int first) const;

    std::shared_ptr<TOdbcConnection> m_connection;
    std::string m_tableName;
    std::string m_quotedTable;
    TZel_FieldDefs m_fields;
    std::vector<std::string> m_quotedFields; // names as SQL identifiers, in field order
    std::vector<int> m_keyFields;            // primary key
    std::vector<int> m_identity;             // primary key, else best row identifier
    bool m_fieldsLoaded = false;
    Values m_values;
};
