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
    // Statements prepared before may describe a shape the table no longer has.
    m_connection->ForgetStatements(m_quotedTable);
    LoadFieldDefs(*m_connection, m_tableName, m_fields, m_quotedFields);
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

std::string TZel_ODBCTable::OrderByClause(std::vector<int> order) const {
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
                                   const RowSink& onRow) {
    if (limit == 0)
        return 0;
    TZel_SqlCondition condition = Condition(filter);
    std::string sql = "SELECT " + ColumnList(columns) + " FROM " + m_quotedTable + WhereClause(condition) +
                      OrderByClause(order);
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
    TOdbcRowReader reader(*statement, pushDown ? limit : -1);
    int64_t skipped = 0;
    int64_t read = 0;
    std::vector<std::string> row;
    while (limit < 0 || read < limit) {
        if (!reader.Next())
            break;
        if (!pushDown && skipped < offset) {
            ++skipped;
            continue;
        }
        row.clear();
        for (size_t i = 0; i < columns.size(); ++i)
            row.push_back(NormaliseFieldText(m_fields[static_cast<size_t>(columns[i])],
                                             reader.Text(static_cast<int>(i) + 1)));
        ++read;
        if (!onRow(row))
            break;
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
