#include "data/Zel_ODBCTable.h"

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"

#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

// Splits "A;B;C" into its names, blanks around each ignored, empty ones left out.
std::vector<std::string> SplitSort(const std::string& sort) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= sort.size()) {
        size_t end = sort.find(';', start);
        if (end == std::string::npos)
            end = sort.size();
        std::string name = sort.substr(start, end - start);
        size_t first = name.find_first_not_of(' ');
        size_t last = name.find_last_not_of(' ');
        if (first != std::string::npos)
            names.push_back(name.substr(first, last - first + 1));
        start = end + 1;
    }
    return names;
}

// Commits on success, rolls back when the scope is left by a failure.
class TTransaction {
public:
    explicit TTransaction(TOdbcConnection& connection) : m_connection(connection) {
        m_connection.BeginTransaction();
    }
    ~TTransaction() {
        if (!m_done)
            m_connection.Rollback();
    }
    void Commit() {
        m_done = true;
        m_connection.Commit();
    }

private:
    TOdbcConnection& m_connection;
    bool m_done = false;
};

} // namespace

TZel_ODBCTable::TZel_ODBCTable(std::shared_ptr<TOdbcConnection> connection, std::string tableName)
    : m_connection(std::move(connection)), m_tableName(std::move(tableName)),
      m_quotedTable(m_connection->QuoteIdentifier(m_tableName)) {}

TZel_ODBCTable::~TZel_ODBCTable() {
    Close();
}

void TZel_ODBCTable::LoadFields() {
    // The data source may spell the name in another case (PostgreSQL folds
    // unquoted names to lower case): take the catalog's spelling.
    m_tableName = m_connection->CatalogTableName(m_tableName);
    m_quotedTable = m_connection->QuoteIdentifier(m_tableName);
    // Statements prepared before may describe a shape the table no longer has.
    m_connection->ForgetStatements(m_quotedTable);
    std::vector<TOdbcColumn> columns = m_connection->Columns(m_tableName);
    m_fields.clear();
    m_quotedFields.clear();
    for (const TOdbcColumn& column : columns) {
        TZel_FieldDef field;
        field.Name = column.Name;
        field.SqlType = column.SqlType;
        field.Size = column.Size;
        field.DecimalDigits = column.DecimalDigits;
        field.Nullable = column.Nullable;
        field.AutoIncrement = column.AutoIncrement;
        field.Required = !column.Nullable && !column.AutoIncrement;
        m_fields.push_back(field);
        m_quotedFields.push_back(m_connection->QuoteIdentifier(field.Name));
    }
    m_keyFields.clear();
    for (const std::string& name : m_connection->PrimaryKey(m_tableName)) {
        int index = FindField(name);
        if (index < 0) {
            m_keyFields.clear();
            break;
        }
        m_keyFields.push_back(index);
    }
    m_identity = m_keyFields;
    if (m_identity.empty()) {
        for (const std::string& name : m_connection->BestRowIdentifier(m_tableName)) {
            int index = FindField(name);
            if (index < 0) {
                m_identity.clear();
                break;
            }
            m_identity.push_back(index);
        }
    }
    m_fieldsLoaded = true;
}

void TZel_ODBCTable::Open() {
    if (!m_fieldsLoaded)
        LoadFields();
    m_cursor.reset();
    m_eof = true;
    m_assigned.clear();
    m_editWhere.reset();
    m_state = dsBrowse;
}

void TZel_ODBCTable::Close() {
    m_cursor.reset();
    m_eof = true;
    m_row.clear();
    m_rowNull.clear();
    m_assigned.clear();
    m_editWhere.reset();
    m_state = dsInactive;
}

void TZel_ODBCTable::SetRequiredChecks(bool on) {
    for (TZel_FieldDef& field : m_fields)
        field.Required = on && !field.Nullable && !field.AutoIncrement;
}

TZel_SqlCondition TZel_ODBCTable::Condition(const std::string& filter) const {
    return ParseFilter(filter, m_fields,
                       [this](const std::string& name) { return m_connection->QuoteIdentifier(name); });
}

std::string TZel_ODBCTable::WhereClause(const TZel_SqlCondition& condition) const {
    return condition.Sql.empty() ? std::string() : " WHERE " + condition.Sql;
}

std::string TZel_ODBCTable::OrderByClause(const std::string& sort) const {
    std::vector<int> order;
    for (const std::string& name : SplitSort(sort))
        order.push_back(FieldByName(name));
    for (int field : TieBreakFields())
        if (std::find(order.begin(), order.end(), field) == order.end())
            order.push_back(field);
    if (order.empty())
        return std::string();
    std::string clause = " ORDER BY ";
    for (size_t i = 0; i < order.size(); ++i) {
        if (i)
            clause += ", ";
        clause += m_quotedFields[static_cast<size_t>(order[i])];
    }
    return clause;
}

// Ties are broken by the row's identity (the primary key, else the driver's
// best row identifier), else by every column, so that windows read by
// separate requests fit together on every DBMS; without a sort this is the
// natural order. A nullable best row identifier leaves ties among its
// NULLs, which every other column then breaks.
std::vector<int> TZel_ODBCTable::TieBreakFields() const {
    std::vector<int> fields = m_identity;
    bool unique = !m_keyFields.empty() || !fields.empty();
    if (m_keyFields.empty())
        for (int field : fields)
            unique = unique && !m_fields[static_cast<size_t>(field)].Nullable;
    if (!unique)
        for (int field : AllColumns())
            if (std::find(fields.begin(), fields.end(), field) == fields.end())
                fields.push_back(field);
    return fields;
}

std::string TZel_ODBCTable::ColumnList(const std::vector<int>& columns) const {
    if (columns.empty())
        return "1";
    std::string list;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i)
            list += ", ";
        list += m_quotedFields[static_cast<size_t>(columns[i])];
    }
    return list;
}

std::vector<int> TZel_ODBCTable::AllColumns() const {
    std::vector<int> columns;
    for (size_t i = 0; i < m_fields.size(); ++i)
        columns.push_back(static_cast<int>(i));
    return columns;
}

void TZel_ODBCTable::BindValue(TOdbcStatement& statement, int index, int field, const std::string& text,
                               bool isNull) const {
    const TZel_FieldDef& def = m_fields[static_cast<size_t>(field)];
    SQLULEN size = def.Size;
    SQLSMALLINT digits = def.DecimalDigits;
    if (IsTextFieldType(def.SqlType))
        size = std::max<SQLULEN>(text.size(), 1);
    statement.BindText(index, text, isNull, def.SqlType, size, digits);
}

int TZel_ODBCTable::BindCondition(TOdbcStatement& statement, const TZel_SqlCondition& condition,
                                  int first) const {
    for (const TZel_SqlParam& param : condition.Params)
        BindValue(statement, first++, param.FieldIndex, param.Value, false);
    return first;
}

// --- navigation ---

int64_t TZel_ODBCTable::RecordCount() {
    return CountWhere(m_filtered ? m_filter : std::string());
}

void TZel_ODBCTable::EnsureCursor() {
    if (m_state == dsInactive)
        throw EDatabaseError("Table [" + m_tableName + "] is not open");
    if (m_cursor)
        return;
    TZel_SqlCondition condition = Condition(m_filtered ? m_filter : std::string());
    std::string sql = "SELECT " + ColumnList(AllColumns()) + " FROM " + m_quotedTable +
                      WhereClause(condition) + OrderByClause(m_sort);
    auto cursor = std::make_unique<TOdbcStatement>(*m_connection);
    cursor->Prepare(sql);
    BindCondition(*cursor, condition, 1);
    cursor->Execute();
    m_cursor = std::move(cursor);
    FetchRow();
}

void TZel_ODBCTable::FetchRow() {
    m_row.assign(m_fields.size(), std::string());
    m_rowNull.assign(m_fields.size(), true);
    m_eof = !m_cursor->Fetch();
    if (m_eof) {
        m_cursor->Reset();
        return;
    }
    for (size_t i = 0; i < m_fields.size(); ++i) {
        bool isNull = false;
        m_row[i] = NormaliseFieldText(m_fields[i], m_cursor->GetText(static_cast<int>(i) + 1, &isNull));
        m_rowNull[i] = isNull;
    }
}

void TZel_ODBCTable::First() {
    if (m_state == dsEdit || m_state == dsInsert)
        Cancel();
    m_cursor.reset();
    EnsureCursor();
}

void TZel_ODBCTable::Next() {
    if (m_state == dsEdit || m_state == dsInsert)
        Cancel();
    EnsureCursor();
    if (!m_eof)
        FetchRow();
}

bool TZel_ODBCTable::Eof() {
    if (m_state == dsInsert)
        return false;
    EnsureCursor();
    return m_eof;
}

std::string TZel_ODBCTable::FieldText(int index) {
    size_t i = static_cast<size_t>(index);
    if (i < m_assigned.size() && m_assigned[i])
        return m_assigned[i]->IsNull ? std::string() : m_assigned[i]->Text;
    if (m_state == dsInsert)
        return std::string();
    EnsureCursor();
    return m_eof || i >= m_row.size() ? std::string() : m_row[i];
}

bool TZel_ODBCTable::FieldIsNull(int index) {
    size_t i = static_cast<size_t>(index);
    if (i < m_assigned.size() && m_assigned[i])
        return m_assigned[i]->IsNull;
    if (m_state == dsInsert)
        return true;
    EnsureCursor();
    return m_eof || i >= m_rowNull.size() || m_rowNull[i];
}

// --- editing ---

void TZel_ODBCTable::Edit() {
    if (m_state == dsEdit)
        return;
    if (Eof())
        throw EDatabaseError("Cannot edit: no current row in table [" + m_tableName + "]");
    m_assigned.assign(m_fields.size(), std::nullopt);
    m_editWhere.reset();
    m_state = dsEdit;
}

void TZel_ODBCTable::EditWhere(const std::string& filter) {
    if (m_state == dsInactive)
        throw EDatabaseError("Table [" + m_tableName + "] is not open");
    m_assigned.assign(m_fields.size(), std::nullopt);
    m_editWhere = filter;
    m_state = dsEdit;
}

void TZel_ODBCTable::Insert() {
    if (m_state == dsInactive)
        throw EDatabaseError("Table [" + m_tableName + "] is not open");
    m_assigned.assign(m_fields.size(), std::nullopt);
    m_editWhere.reset();
    m_state = dsInsert;
}

void TZel_ODBCTable::SetFieldText(int index, const std::string& text) {
    if (m_state != dsEdit && m_state != dsInsert)
        throw EDatabaseError("Table [" + m_tableName + "] is not in edit or insert mode");
    const TZel_FieldDef& field = m_fields.at(static_cast<size_t>(index));
    const std::string value = FieldValueText(field, text);
    CheckFieldText(field, value, true);
    bool isNull = value.empty() && field.Class() != TZel_FieldClass::Text;
    m_assigned[static_cast<size_t>(index)] = Assigned{value, isNull};
}

void TZel_ODBCTable::Cancel() {
    m_assigned.clear();
    m_editWhere.reset();
    if (m_state == dsEdit || m_state == dsInsert)
        m_state = dsBrowse;
}

void TZel_ODBCTable::CheckRequired() const {
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (!m_fields[i].Required)
            continue;
        bool hasValue = m_assigned[i]
                            ? !m_assigned[i]->IsNull
                            : (m_state == dsEdit && !m_editWhere && i < m_rowNull.size() && !m_rowNull[i]);
        if (!hasValue)
            throw EDatabaseError("Field [" + m_fields[i].Name + "] must have a value");
    }
}

TZel_SqlCondition TZel_ODBCTable::RowIdentity() const {
    std::vector<int> columns = m_identity.empty() ? AllColumns() : m_identity;
    TZel_SqlCondition condition;
    for (int column : columns) {
        size_t i = static_cast<size_t>(column);
        if (!condition.Sql.empty())
            condition.Sql += " AND ";
        std::string name = m_quotedFields[i];
        if (m_rowNull[i]) {
            condition.Sql += name + " IS NULL";
        } else {
            condition.Sql += name + " = ?";
            condition.Params.push_back({m_row[i], column});
        }
    }
    return condition;
}

int64_t TZel_ODBCTable::PostUpdate() {
    TZel_SqlCondition where = m_editWhere ? Condition(*m_editWhere) : RowIdentity();
    std::string assignments;
    std::vector<int> changed;
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (!m_assigned[i])
            continue;
        assignments += (changed.empty() ? "" : ", ") + m_quotedFields[i] + " = ?";
        changed.push_back(static_cast<int>(i));
    }
    if (changed.empty())
        return m_editWhere ? CountWhere(*m_editWhere) : 1;
    std::string sql = "UPDATE " + m_quotedTable + " SET " + assignments + WhereClause(where);
    auto statement = m_connection->Prepare(sql);
    int index = 1;
    for (int column : changed) {
        const Assigned& value = *m_assigned[static_cast<size_t>(column)];
        BindValue(*statement, index++, column, value.Text, value.IsNull);
    }
    BindCondition(*statement, where, index);
    statement->Execute();
    return statement->RowCount();
}

int64_t TZel_ODBCTable::PostInsert() {
    std::string columns;
    std::string markers;
    std::vector<int> assigned;
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (!m_assigned[i])
            continue;
        columns += (assigned.empty() ? "" : ", ") + m_quotedFields[i];
        markers += assigned.empty() ? "?" : ", ?";
        assigned.push_back(static_cast<int>(i));
    }
    std::string table = m_quotedTable;
    std::string sql = assigned.empty()
                          ? "INSERT INTO " + table + " DEFAULT VALUES"
                          : "INSERT INTO " + table + " (" + columns + ") VALUES (" + markers + ")";
    auto statement = m_connection->Prepare(sql);
    int index = 1;
    for (int column : assigned) {
        const Assigned& value = *m_assigned[static_cast<size_t>(column)];
        BindValue(*statement, index++, column, value.Text, value.IsNull);
    }
    statement->Execute();
    return statement->RowCount();
}

int64_t TZel_ODBCTable::Post() {
    if (m_state != dsEdit && m_state != dsInsert)
        throw EDatabaseError("Table [" + m_tableName + "] is not in edit or insert mode");
    CheckRequired();
    int64_t written = 0;
    if (m_state == dsInsert) {
        written = PostInsert();
    } else if (m_editWhere) {
        written = PostUpdate();
    } else {
        // One row, found again by its identity; anything else is undone.
        TTransaction transaction(*m_connection);
        written = PostUpdate();
        if (written != 1)
            throw EDatabaseError(written == 0 ? "Row not found: it was changed or deleted by another user"
                                              : "Row cannot be identified: the change would affect " +
                                                    std::to_string(written) + " rows");
        transaction.Commit();
    }
    if (!m_editWhere && m_state == dsEdit) {
        for (size_t i = 0; i < m_fields.size(); ++i) {
            if (m_assigned[i]) {
                m_row[i] = m_assigned[i]->IsNull ? std::string() : m_assigned[i]->Text;
                m_rowNull[i] = m_assigned[i]->IsNull;
            }
        }
    }
    m_assigned.clear();
    m_editWhere.reset();
    m_state = dsBrowse;
    return written;
}

void TZel_ODBCTable::Delete() {
    if (m_state == dsInsert) {
        Cancel();
        return;
    }
    Cancel();
    if (Eof())
        throw EDatabaseError("Cannot delete: no current row in table [" + m_tableName + "]");
    TZel_SqlCondition where = RowIdentity();
    TTransaction transaction(*m_connection);
    auto statement = m_connection->Prepare("DELETE FROM " + m_quotedTable + WhereClause(where));
    BindCondition(*statement, where, 1);
    statement->Execute();
    int64_t deleted = statement->RowCount();
    if (deleted != 1)
        throw EDatabaseError(deleted == 0 ? "Row not found: it was changed or deleted by another user"
                                          : "Row cannot be identified: the delete would affect " +
                                                std::to_string(deleted) + " rows");
    transaction.Commit();
    FetchRow();
}

// --- one statement per request ---

int64_t TZel_ODBCTable::CountWhere(const std::string& filter) {
    TZel_SqlCondition condition = Condition(filter);
    auto statement = m_connection->Prepare("SELECT COUNT(*) FROM " + m_quotedTable + WhereClause(condition));
    BindCondition(*statement, condition, 1);
    statement->Execute();
    if (!statement->Fetch())
        throw EDatabaseError("COUNT returned no row for table [" + m_tableName + "]");
    return std::stoll(statement->GetText(1));
}

int64_t TZel_ODBCTable::ReadWindow(const std::string& filter, const std::string& sort,
                                   const std::vector<int>& columns, int64_t offset, int64_t limit,
                                   const RowSink& onRow) {
    if (limit == 0)
        return 0;
    TZel_SqlCondition condition = Condition(filter);
    std::string sql = "SELECT " + ColumnList(columns) + " FROM " + m_quotedTable + WhereClause(condition) +
                      OrderByClause(sort);
    bool pushDown = m_connection->HasLimitOffset();
    if (pushDown)
        sql += " LIMIT ? OFFSET ?";
    auto statement = m_connection->Prepare(sql);
    int next = BindCondition(*statement, condition, 1);
    if (pushDown) {
        statement->BindInt64(next, limit < 0 ? std::numeric_limits<int64_t>::max() : limit);
        statement->BindInt64(next + 1, offset);
    }
    statement->Execute();
    int64_t skipped = 0;
    int64_t read = 0;
    std::vector<std::string> row;
    while (limit < 0 || read < limit) {
        if (!statement->Fetch())
            break;
        if (!pushDown && skipped < offset) {
            ++skipped;
            continue;
        }
        row.clear();
        for (size_t i = 0; i < columns.size(); ++i)
            row.push_back(NormaliseFieldText(m_fields[static_cast<size_t>(columns[i])],
                                             statement->GetText(static_cast<int>(i) + 1)));
        ++read;
        if (!onRow(row))
            break;
    }
    return read;
}

bool TZel_ODBCTable::RowExistsAt(const std::string& filter, int64_t offset) {
    bool found = false;
    ReadWindow(filter, std::string(), {}, offset, 1, [&found](std::vector<std::string>&) {
        found = true;
        return false;
    });
    return found;
}

int64_t TZel_ODBCTable::DeleteWhere(const std::string& filter) {
    TZel_SqlCondition condition = Condition(filter);
    auto statement = m_connection->Prepare("DELETE FROM " + m_quotedTable + WhereClause(condition));
    BindCondition(*statement, condition, 1);
    statement->Execute();
    return statement->RowCount();
}
