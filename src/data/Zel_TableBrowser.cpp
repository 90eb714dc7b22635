#include "data/Zel_TableBrowser.h"

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcRowReader.h"
#include "data/odbc/OdbcTransaction.h"

#include <algorithm>
#include <cctype>

TZel_TableBrowser::TZel_TableBrowser(std::shared_ptr<TOdbcConnection> connection, std::string tableName)
    : m_connection(std::move(connection)), m_tableName(std::move(tableName)) {}

TZel_TableBrowser::~TZel_TableBrowser() = default;

void TZel_TableBrowser::Open() {
    LoadFields();
    m_open = true;
}

void TZel_TableBrowser::LoadFields() {
    // The data source may spell the name in another case (PostgreSQL folds
    // unquoted names to lower case): take the catalog's spelling.
    m_tableName = m_connection->CatalogTableName(m_tableName);
    LoadFieldDefs(*m_connection, m_tableName, m_fields, m_quotedFields);
    m_quotedTable = m_connection->QuoteIdentifier(m_tableName);
    auto resolve = [this](const std::vector<std::string>& names) {
        std::vector<int> indexes;
        for (const std::string& name : names) {
            int index = FindFieldIndex(m_fields, name);
            if (index < 0)
                return std::vector<int>();
            indexes.push_back(index);
        }
        return indexes;
    };
    m_identity = resolve(m_connection->PrimaryKey(m_tableName));
    m_hasPrimaryKey = !m_identity.empty();
    if (m_identity.empty())
        m_identity = resolve(m_connection->BestRowIdentifier(m_tableName));
    m_rowidName = m_identity.empty() ? RowidName() : std::string();
    m_orderTail = m_identity;
    if (m_orderTail.empty())
        for (size_t i = 0; i < m_fields.size(); ++i)
            m_orderTail.push_back(static_cast<int>(i));
    m_filter = ParseFilter(m_filterText, m_fields,
                           [this](const std::string& name) { return m_connection->QuoteIdentifier(name); });
}

// A SQLite table has a rowid unless declared WITHOUT ROWID (which needs a
// primary key, so never gets here); a view has none. The rowid goes by any
// of three names that no column of the table takes.
std::string TZel_TableBrowser::RowidName() {
    if (!m_connection->IsSQLite())
        return std::string();
    auto statement = m_connection->Prepare("SELECT type FROM sqlite_master WHERE name = ?");
    statement->BindText(1, m_tableName, false, SQL_VARCHAR, std::max<SQLULEN>(m_tableName.size(), 1), 0);
    statement->Execute();
    if (!statement->Fetch() || statement->GetText(1) != "table")
        return std::string();
    // SQLite column names ignore case, so no two columns differ only by it.
    for (const char* name : {"rowid", "_rowid_", "oid"})
        if (FindFieldIndex(m_fields, name) < 0)
            return name;
    return std::string();
}

void TZel_TableBrowser::SetFilter(const std::string& filter) {
    m_filter = ParseFilter(filter, m_fields,
                           [this](const std::string& name) { return m_connection->QuoteIdentifier(name); });
    m_filterText = filter;
}

void TZel_TableBrowser::SetSort(std::vector<TZel_SortField> sort) {
    for (const TZel_SortField& field : sort)
        if (field.Field < 0 || static_cast<size_t>(field.Field) >= m_fields.size())
            throw EDatabaseError("Sort field " + std::to_string(field.Field) + " not in table [" +
                                 m_tableName + "]");
    m_sort = std::move(sort);
}

std::string TZel_TableBrowser::WhereClause(const TZel_SqlCondition& condition) const {
    return condition.Sql.empty() ? std::string() : " WHERE " + condition.Sql;
}

std::string TZel_TableBrowser::OrderBy(bool reverse) const {
    std::vector<TZel_SortField> order = m_sort;
    for (int field : m_orderTail) {
        bool present = std::any_of(order.begin(), order.end(),
                                   [field](const TZel_SortField& sort) { return sort.Field == field; });
        if (!present)
            order.push_back({field, false});
    }
    std::string clause;
    for (const TZel_SortField& sort : order) {
        clause += clause.empty() ? " ORDER BY " : ", ";
        clause += m_quotedFields[static_cast<size_t>(sort.Field)];
        // Both data sources place NULLs at opposite ends for the two
        // directions, so the reversed order is exactly the order read backwards.
        if (sort.Descending != reverse)
            clause += " DESC";
    }
    // Rows alike in every column still keep their places.
    if (!m_rowidName.empty())
        clause += ", " + m_rowidName + (reverse ? " DESC" : "");
    return clause;
}

void TZel_TableBrowser::BindValue(TOdbcStatement& statement, int index, int field,
                                  const TZel_Value& value) const {
    const TZel_FieldDef& def = m_fields[static_cast<size_t>(field)];
    SQLULEN size = def.Size;
    if (IsTextFieldType(def.SqlType))
        size = std::max<SQLULEN>(value.Text.size(), 1);
    statement.BindText(index, value.Text, value.IsNull, def.SqlType, size, def.DecimalDigits);
}

int TZel_TableBrowser::BindCondition(TOdbcStatement& statement, const TZel_SqlCondition& condition,
                                     int first) const {
    for (const TZel_SqlParam& param : condition.Params) {
        if (param.FieldIndex < 0)
            statement.BindInt64(first++, std::stoll(param.Value)); // the rowid
        else
            BindValue(statement, first++, param.FieldIndex, TZel_Value{param.Value, false});
    }
    return first;
}

int64_t TZel_TableBrowser::RowCount() {
    auto statement = m_connection->Prepare("SELECT COUNT(*) FROM " + m_quotedTable + WhereClause(m_filter));
    BindCondition(*statement, m_filter, 1);
    statement->Execute();
    if (!statement->Fetch())
        throw EDatabaseError("COUNT returned no row for table [" + m_tableName + "]");
    return std::stoll(statement->GetText(1));
}

std::vector<TZel_Row> TZel_TableBrowser::ReadWindow(int64_t offset, int64_t count, int64_t rowCount) {
    std::vector<TZel_Row> rows;
    if (count <= 0 || offset < 0)
        return rows;
    bool reverse = false;
    if (rowCount >= 0 && offset > rowCount / 2) {
        // The window counted from the end: rows rowCount-1 down to offset.
        int64_t end = std::min(offset + count, rowCount);
        if (end <= offset)
            return rows;
        count = end - offset;
        offset = rowCount - end;
        reverse = true;
    }
    std::string columns;
    for (const std::string& name : m_quotedFields)
        columns += (columns.empty() ? "" : ", ") + name;
    if (!m_rowidName.empty())
        columns += ", " + m_rowidName;
    std::string sql =
        "SELECT " + columns + " FROM " + m_quotedTable + WhereClause(m_filter) + OrderBy(reverse);
    const bool pushDown = m_connection->HasLimitOffset();
    if (pushDown)
        sql += " LIMIT ? OFFSET ?";
    auto statement = m_connection->Prepare(sql);
    int next = BindCondition(*statement, m_filter, 1);
    if (pushDown) {
        statement->BindInt64(next, count);
        statement->BindInt64(next + 1, offset);
    }
    statement->Execute();
    TOdbcRowReader reader(*statement, pushDown ? count : -1);
    for (int64_t skipped = 0; !pushDown && skipped < offset; ++skipped)
        if (!reader.Next())
            return rows;
    while (static_cast<int64_t>(rows.size()) < count && reader.Next()) {
        TZel_Row row(m_fields.size());
        for (size_t i = 0; i < m_fields.size(); ++i) {
            bool isNull = false;
            std::string text = reader.Text(static_cast<int>(i) + 1, &isNull);
            row[i] =
                TZel_Value{isNull ? std::string() : NormaliseFieldText(m_fields[i], std::move(text)), isNull};
        }
        if (!m_rowidName.empty()) {
            bool isNull = false;
            std::string rowid = reader.Text(static_cast<int>(m_fields.size()) + 1, &isNull);
            row.push_back(TZel_Value{std::move(rowid), isNull});
        }
        rows.push_back(std::move(row));
    }
    if (reverse)
        std::reverse(rows.begin(), rows.end());
    return rows;
}

// Floating point values are read as text rounded to fewer digits than
// stored, and SQLite converts nothing in a column of neither text nor
// integer affinity nor an integer column's value that is not an integer:
// such a value as read may equal another row's instead of its own.
void TZel_TableBrowser::CheckExactValues(const TZel_Row& row, const char* what) const {
    const bool sqlite = m_connection->IsSQLite();
    for (size_t i = 0; i < m_fields.size(); ++i) {
        const TZel_FieldDef& field = m_fields[i];
        if (row[i].IsNull)
            continue;
        const bool inexact = field.SqlType == SQL_REAL || field.SqlType == SQL_FLOAT ||
                             field.SqlType == SQL_DOUBLE ||
                             (sqlite && (!IsSqliteTextOrIntegerAffinity(field.TypeName) ||
                                         !IsFieldValueText(field, row[i].Text) ||
                                         field.SqlType == SQL_DECIMAL || field.SqlType == SQL_NUMERIC));
        if (inexact)
            throw EDatabaseError(
                std::string("Row cannot be identified exactly: the table has no key and the ") + what +
                " would rest on the inexact value [" + row[i].Text + "] of field [" + field.Name + "]");
    }
}

TZel_SqlCondition TZel_TableBrowser::RowIdentity(const TZel_Row& row, const char* what) const {
    TZel_SqlCondition condition;
    if (!m_rowidName.empty() && row.size() == m_fields.size() + 1 && !row.back().IsNull) {
        condition.Sql = m_rowidName + " = ?";
        condition.Params.push_back({row.back().Text, -1});
        return condition;
    }
    if (row.size() != m_fields.size())
        throw EDatabaseError("Row does not match the fields of table [" + m_tableName + "]");
    std::vector<int> columns = m_identity;
    if (columns.empty()) {
        CheckExactValues(row, what);
        for (size_t i = 0; i < m_fields.size(); ++i)
            columns.push_back(static_cast<int>(i));
    }
    for (int column : columns) {
        const TZel_Value& value = row[static_cast<size_t>(column)];
        if (!condition.Sql.empty())
            condition.Sql += " AND ";
        const std::string& name = m_quotedFields[static_cast<size_t>(column)];
        if (value.IsNull) {
            condition.Sql += name + " IS NULL";
        } else {
            condition.Sql += name + " = ?";
            condition.Params.push_back({value.Text, column});
        }
    }
    return condition;
}

void TZel_TableBrowser::ExecuteOneRow(TOdbcStatement& statement, const char* what) {
    TOdbcTransaction transaction(*m_connection);
    statement.Execute();
    const int64_t touched = statement.RowCount();
    if (touched != 1)
        throw EDatabaseError(touched == 0 ? "Row not found: it was changed or deleted by another user"
                                          : std::string("Row cannot be identified: the ") + what +
                                                " would affect " + std::to_string(touched) + " rows");
    transaction.Commit();
}

void TZel_TableBrowser::CheckValue(int field, const TZel_Value& value) const {
    if (value.IsNull)
        return;
    CheckFieldText(m_fields.at(static_cast<size_t>(field)), value.Text, true);
}

bool TZel_TableBrowser::UpdateRow(const TZel_Row& row, const TZel_RowChanges& changes) {
    std::string assignments;
    std::vector<int> changed;
    for (size_t i = 0; i < m_fields.size() && i < changes.size(); ++i) {
        if (!changes[i] || *changes[i] == row.at(i))
            continue;
        CheckValue(static_cast<int>(i), *changes[i]);
        assignments += (changed.empty() ? "" : ", ") + m_quotedFields[i] + " = ?";
        changed.push_back(static_cast<int>(i));
    }
    if (changed.empty())
        return false;
    TZel_SqlCondition where = RowIdentity(row, "change");
    auto statement =
        m_connection->Prepare("UPDATE " + m_quotedTable + " SET " + assignments + WhereClause(where));
    int index = 1;
    for (int column : changed)
        BindValue(*statement, index++, column, *changes[static_cast<size_t>(column)]);
    BindCondition(*statement, where, index);
    ExecuteOneRow(*statement, "change");
    return true;
}

void TZel_TableBrowser::InsertRow(const TZel_RowChanges& values) {
    std::string columns;
    std::string markers;
    std::vector<int> assigned;
    for (size_t i = 0; i < m_fields.size() && i < values.size(); ++i) {
        if (!values[i])
            continue;
        CheckValue(static_cast<int>(i), *values[i]);
        columns += (assigned.empty() ? "" : ", ") + m_quotedFields[i];
        markers += assigned.empty() ? "?" : ", ?";
        assigned.push_back(static_cast<int>(i));
    }
    const std::string sql =
        assigned.empty() ? "INSERT INTO " + m_quotedTable + " DEFAULT VALUES"
                         : "INSERT INTO " + m_quotedTable + " (" + columns + ") VALUES (" + markers + ")";
    auto statement = m_connection->Prepare(sql);
    int index = 1;
    for (int column : assigned)
        BindValue(*statement, index++, column, *values[static_cast<size_t>(column)]);
    ExecuteOneRow(*statement, "insert");
}

void TZel_TableBrowser::DeleteRow(const TZel_Row& row) {
    TZel_SqlCondition where = RowIdentity(row, "delete");
    auto statement = m_connection->Prepare("DELETE FROM " + m_quotedTable + WhereClause(where));
    BindCondition(*statement, where, 1);
    ExecuteOneRow(*statement, "delete");
}
