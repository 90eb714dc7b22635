#include "data/Zel_ODBCTable.h"

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcRowReader.h"

#include <sqlext.h>

#include <algorithm>
#include <limits>
#include <utility>

TZel_ODBCTable::TZel_ODBCTable(std::shared_ptr<TOdbcConnection> connection, std::string tableName)
    : m_connection(std::move(connection)), m_tableName(std::move(tableName)),
      m_quotedTable(m_connection->QuoteIdentifier(m_tableName)) {}

TZel_ODBCTable::~TZel_ODBCTable() = default;

void TZel_ODBCTable::AttachConnection(std::shared_ptr<TOdbcConnection> connection) {
    m_connection = std::move(connection);
}

void TZel_ODBCTable::LoadFields() {
    // The data source may spell the name in another case (PostgreSQL folds
    // unquoted names to lower case): take the catalog's spelling.
    m_tableName = m_connection->CatalogTableName(m_tableName);
    m_quotedTable = m_connection->QuoteIdentifier(m_tableName);
    LoadFieldDefs(*m_connection, m_tableName, m_fields, m_quotedFields);
    // Statements prepared before may describe a shape the table no longer has.
    std::string shape;
    for (const TZel_FieldDef& field : m_fields)
        shape += field.Name + '\x1f' + std::to_string(field.SqlType) + '\x1f' + std::to_string(field.Size) +
                 '\x1f' + std::to_string(field.DecimalDigits) + '\x1e';
    m_connection->NoteTableShape(m_quotedTable, shape);
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
    m_values.clear();
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

std::vector<int> TZel_ODBCTable::SortFields(const std::vector<int>& order) const {
    std::vector<int> fields;
    for (int field : order)
        if (std::find(fields.begin(), fields.end(), field) == fields.end())
            fields.push_back(field);
    for (int field : TieBreakFields())
        if (std::find(fields.begin(), fields.end(), field) == fields.end())
            fields.push_back(field);
    return fields;
}

std::string TZel_ODBCTable::OrderByClause(const std::vector<int>& sortFields) const {
    if (sortFields.empty())
        return std::string();
    std::string clause = " ORDER BY ";
    for (size_t i = 0; i < sortFields.size(); ++i) {
        if (i)
            clause += ", ";
        clause += m_quotedFields[static_cast<size_t>(sortFields[i])];
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
    if (!HasUniqueIdentity())
        for (int field : AllColumns())
            if (std::find(fields.begin(), fields.end(), field) == fields.end())
                fields.push_back(field);
    return fields;
}

bool TZel_ODBCTable::HasUniqueIdentity() const {
    if (!m_keyFields.empty())
        return true;
    if (m_identity.empty())
        return false;
    for (int field : m_identity)
        if (m_fields[static_cast<size_t>(field)].Nullable)
            return false;
    return true;
}

// A seek is exact only where the order is total (the identity is unique) and
// every sort value the driver returns as text compares, bound back with its
// column's type, exactly as the stored value: text and integers everywhere,
// dates and fixed-point numbers where the DBMS stores them as such. SQLite
// keeps DECIMAL values as floating point, and floating point text is rounded.
// SQLite converts a value to its column's type only where the declared type
// gives the column text or integer affinity; elsewhere (no declared type, or
// numeric, real or blob affinity) integers and text may sit side by side and
// a bound parameter compares with them otherwise than ORDER BY sorts them,
// whatever SQL type the driver reports.
bool TZel_ODBCTable::CanSeek(const std::vector<int>& sortFields) const {
    if (!m_connection->HasLimitOffset() || !HasUniqueIdentity())
        return false;
    const bool typedStorage = m_connection->IsPostgreSQL();
    const bool sqlite = m_connection->IsSQLite();
    for (int field : sortFields) {
        const TZel_FieldDef& def = m_fields[static_cast<size_t>(field)];
        if (sqlite && !IsSqliteTextOrIntegerAffinity(def.TypeName))
            return false;
        switch (def.SqlType) {
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_LONGVARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
        case SQL_WLONGVARCHAR:
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            break;
        case SQL_TYPE_DATE:
        case SQL_DATE:
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            if (!typedStorage)
                return false;
            break;
        default:
            return false;
        }
    }
    return true;
}

// The identity must hold no NULL (a primary key of SQLite may), and every
// value must read as its type's plain text (SQLite may store a real number
// or a text in an integer column).
bool TZel_ODBCTable::IsExactKey(const TZel_SeekKey& key) const {
    const std::vector<int>& identity = m_keyFields.empty() ? m_identity : m_keyFields;
    for (size_t i = 0; i < key.Fields.size(); ++i) {
        const int field = key.Fields[i];
        const std::optional<std::string>& value = key.Values[i];
        if (!value) {
            if (std::find(identity.begin(), identity.end(), field) != identity.end())
                return false;
        } else if (!IsFieldValueText(m_fields[static_cast<size_t>(field)], *value)) {
            return false;
        }
    }
    return true;
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

// --- values to write ---

void TZel_ODBCTable::ClearValues() {
    m_values.clear();
}

void TZel_ODBCTable::SetFieldText(int index, const std::string& text) {
    if (!m_fieldsLoaded)
        throw EDatabaseError("Table [" + m_tableName + "] is not open");
    const TZel_FieldDef& field = m_fields.at(static_cast<size_t>(index));
    const std::string value = FieldValueText(field, text);
    CheckFieldText(field, value, true);
    bool isNull = value.empty() && field.Class() != TZel_FieldClass::Text;
    m_values.resize(m_fields.size());
    m_values[static_cast<size_t>(index)] = Value{value, isNull};
}

void TZel_ODBCTable::CheckRequired(const Values& values, bool inserting) const {
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (!m_fields[i].Required)
            continue;
        const bool given = i < values.size() && values[i].has_value();
        if (given ? values[i]->IsNull : inserting)
            throw EDatabaseError("Field [" + m_fields[i].Name + "] must have a value");
    }
}

std::vector<int> TZel_ODBCTable::GivenFields(const Values& values) {
    std::vector<int> given;
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i])
            given.push_back(static_cast<int>(i));
    return given;
}

int TZel_ODBCTable::BindValues(TOdbcStatement& statement, const Values& values,
                               const std::vector<int>& fields, int first) const {
    for (int field : fields) {
        const Value& value = *values[static_cast<size_t>(field)];
        BindValue(statement, first++, field, value.Text, value.IsNull);
    }
    return first;
}

int64_t TZel_ODBCTable::UpdateWhere(const std::string& filter) {
    const Values values = std::exchange(m_values, {});
    CheckRequired(values, false);
    const std::vector<int> given = GivenFields(values);
    if (given.empty())
        return CountWhere(filter);
    const TZel_SqlCondition condition = Condition(filter);
    std::string assignments;
    for (int field : given)
        assignments +=
            (assignments.empty() ? "" : ", ") + m_quotedFields[static_cast<size_t>(field)] + " = ?";
    auto statement =
        m_connection->Prepare("UPDATE " + m_quotedTable + " SET " + assignments + WhereClause(condition));
    BindCondition(*statement, condition, BindValues(*statement, values, given, 1));
    statement->Execute();
    return statement->RowCount();
}

int64_t TZel_ODBCTable::InsertRow() {
    const Values values = std::exchange(m_values, {});
    CheckRequired(values, true);
    const std::vector<int> given = GivenFields(values);
    std::string columns;
    std::string markers;
    for (int field : given) {
        columns += (columns.empty() ? "" : ", ") + m_quotedFields[static_cast<size_t>(field)];
        markers += markers.empty() ? "?" : ", ?";
    }
    auto statement = m_connection->Prepare(given.empty() ? "INSERT INTO " + m_quotedTable + " DEFAULT VALUES"
                                                         : "INSERT INTO " + m_quotedTable + " (" + columns +
                                                               ") VALUES (" + markers + ")");
    BindValues(*statement, values, given, 1);
    statement->Execute();
    return statement->RowCount();
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

int64_t TZel_ODBCTable::ReadWindow(const std::string& filter, const std::vector<int>& order,
                                   const std::vector<int>& columns, int64_t offset, int64_t limit,
                                   const RowSink& onRow, Seek* seek) {
    if (seek) {
        seek->Sought = false;
        if (seek->LastKey)
            *seek->LastKey = {};
    }
    if (limit == 0)
        return 0;
    const std::vector<int> sortFields = SortFields(order);
    const bool pushDown = m_connection->HasLimitOffset();
    const bool canSeek = seek && CanSeek(sortFields);
    const bool sought = canSeek && seek->After && seek->After->Fields == sortFields;
    TZel_SqlCondition condition = Condition(filter);
    if (sought) {
        TZel_SqlCondition after =
            SeekAfterCondition(*seek->After, m_fields, m_quotedFields, m_connection->NullsSortLow());
        condition.Sql = condition.Sql.empty() ? after.Sql : "(" + condition.Sql + ") AND " + after.Sql;
        condition.Params.insert(condition.Params.end(), after.Params.begin(), after.Params.end());
        seek->Sought = true;
    }
    // The sort key of each row, as the database returned it: from a result
    // column where there is one, else from a column read for it alone.
    std::vector<int> readColumns = columns;
    std::vector<int> keySlotOf;
    TZel_SeekKey key;
    const bool keepKey = canSeek && seek->LastKey;
    if (keepKey) {
        keySlotOf.assign(columns.size(), -1);
        for (size_t k = 0; k < sortFields.size(); ++k) {
            auto found = std::find(columns.begin(), columns.end(), sortFields[k]);
            if (found != columns.end() && keySlotOf[static_cast<size_t>(found - columns.begin())] < 0) {
                keySlotOf[static_cast<size_t>(found - columns.begin())] = static_cast<int>(k);
            } else {
                readColumns.push_back(sortFields[k]);
                keySlotOf.push_back(static_cast<int>(k));
            }
        }
        key.Fields = sortFields;
        key.Values.resize(sortFields.size());
    }
    std::string sql = "SELECT " + ColumnList(readColumns) + " FROM " + m_quotedTable +
                      WhereClause(condition) + OrderByClause(sortFields);
    if (pushDown)
        sql += sought ? " LIMIT ?" : " LIMIT ? OFFSET ?";
    auto statement = m_connection->Prepare(sql);
    int next = BindCondition(*statement, condition, 1);
    if (pushDown) {
        statement->BindInt64(next, limit < 0 ? std::numeric_limits<int64_t>::max() : limit);
        if (!sought)
            statement->BindInt64(next + 1, offset);
    }
    statement->Execute();
    TOdbcRowReader reader(*statement, pushDown ? limit : -1);
    int64_t skipped = 0;
    int64_t read = 0;
    bool accepted = false;
    std::vector<std::string> row;
    while (limit < 0 || read < limit) {
        if (!reader.Next())
            break;
        if (!pushDown && skipped < offset) {
            ++skipped;
            continue;
        }
        row.clear();
        for (size_t i = 0; i < readColumns.size(); ++i) {
            bool isNull = false;
            std::string text = reader.Text(static_cast<int>(i) + 1, &isNull);
            if (keepKey && keySlotOf[i] >= 0)
                key.Values[static_cast<size_t>(keySlotOf[i])] =
                    isNull ? std::nullopt : std::optional<std::string>(text);
            if (i < columns.size())
                row.push_back(NormaliseFieldText(m_fields[static_cast<size_t>(columns[i])], std::move(text)));
        }
        ++read;
        if (!onRow(row))
            break;
        if (keepKey) {
            seek->LastKey->Values = key.Values;
            accepted = true;
        }
    }
    if (keepKey && accepted) {
        seek->LastKey->Fields = std::move(key.Fields);
        if (!IsExactKey(*seek->LastKey))
            *seek->LastKey = {};
    }
    return read;
}

bool TZel_ODBCTable::RowExistsAt(const std::string& filter, int64_t offset) {
    bool found = false;
    ReadWindow(filter, {}, {}, offset, 1, [&found](std::vector<std::string>&) {
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

// PostgreSQL's advisory locks, ended with the transaction. The numbers are
// hashes the database computes, so every server on the database agrees on
// them; the table's lock (one number) and a key's (two) never meet. A hash
// shared by two keys only makes one wait for the other.
void TZel_ODBCTable::TakeAdvisoryLock(const std::string& sql, const std::vector<std::string>& texts) {
    if (!m_connection->IsPostgreSQL())
        return;
    auto statement = m_connection->Prepare(sql);
    int index = 1;
    for (const std::string& text : texts)
        statement->BindText(index++, text, false, SQL_VARCHAR, std::max<SQLULEN>(text.size(), 1), 0);
    statement->Execute();
}

void TZel_ODBCTable::LockKey(const std::string& rowKey) {
    TakeAdvisoryLock("SELECT pg_advisory_xact_lock_shared(hashtext(?)::bigint), "
                     "pg_advisory_xact_lock(hashtext(?), hashtext(?))",
                     {m_quotedTable, m_quotedTable, rowKey});
}

void TZel_ODBCTable::LockTable() {
    TakeAdvisoryLock("SELECT pg_advisory_xact_lock(hashtext(?)::bigint)", {m_quotedTable});
}

void TZel_ODBCTable::LockTableShared() {
    TakeAdvisoryLock("SELECT pg_advisory_xact_lock_shared(hashtext(?)::bigint)", {m_quotedTable});
}
