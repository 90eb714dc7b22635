#include "data/Zel_ODBCSession.h"

#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/SessionDefinition.h"
#include "data/Zel_ConnectionPool.h"
#include "data/Zel_DataSource.h"
#include "data/Zel_Filter.h"
#include "data/Zel_ODBCTable.h"
#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcTransaction.h"
#include "protocol/Zel_ODBCQuery.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

namespace {

std::string Format2(const char* pattern, int number) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, number);
    return text;
}

} // namespace

TZel_ODBCSession::TZel_ODBCSession() = default;

TZel_ODBCSession::~TZel_ODBCSession() {
    m_dataSource.reset();
    m_table.reset();
    ReleaseConnection();
    m_fieldNames.clear();
}

std::string TZel_ODBCSession::SectionNameOf(int32_t sessionNumber) {
    return Format2("Session%.2d", sessionNumber);
}

// ---------------------------------------------------------------- definition

void TZel_ODBCSession::ReadINISettings() {
    TSessionDefinition::ReadStrict(*this);
}

bool TZel_ODBCSession::IsEnabled() {
    if (!Enabled && IniFile)
        Enabled = IniFile->ReadBool(SectionName(), TSessionDefinition::KeyName(TSessionKey::Enabled), false);
    return Enabled;
}

void TZel_ODBCSession::SetUpdateType(int32_t value) {
    if (value < utAppendToExisting || value > utUpdateExistingAppendIfNotFound)
        throw Exception("Invalid Update type during set");
    UpdateType = static_cast<TSessionUpdateType>(value);
}

namespace {
void SetFilterType(TSessionFilter& filter, int32_t value) {
    filter.Type = fltNone;
    if (value < fltNone || value > fltPrompt)
        throw Exception("Invalid Filter type during set. Setting to NONE.");
    filter.Type = static_cast<TSessionFilterType>(value);
}
} // namespace

void TZel_ODBCSession::SetFilterToDeviceType(int32_t value) {
    SetFilterType(FilterToDevice, value);
}

void TZel_ODBCSession::SetFilterFromDeviceType(int32_t value) {
    SetFilterType(FilterFromDevice, value);
}

// ---------------------------------------------------------------- connection

bool TZel_ODBCSession::IsConnected() const {
    return m_connection && m_connection->IsOpen();
}

bool TZel_ODBCSession::IsConnectedAsDefined() const {
    return IsConnected() && m_connectedAs == std::tie(DSN, Username, Password);
}

void TZel_ODBCSession::ReleaseConnection() {
    m_connection.reset();
    m_connectedAs = {};
}

bool TZel_ODBCSession::Connect() {
    if (DSN.empty())
        return false;
    m_dataSource.reset();
    m_table.reset();
    m_continuation.Forget();
    ReleaseConnection();
    // A failure leaves no connection behind.
    m_connection = ConnectionPool ? ConnectionPool->Acquire(DSN, Username, Password)
                                  : TZel_ConnectionPool::OpenPrivate(DSN, Username, Password);
    m_connectedAs = {DSN, Username, Password};
    return true;
}

void TZel_ODBCSession::AttachConnection(std::shared_ptr<TOdbcConnection> connection) {
    if (m_connection == connection && IsConnectedAsDefined())
        return;
    m_connection = std::move(connection);
    m_connectedAs = {DSN, Username, Password};
    if (m_table)
        m_table->AttachConnection(m_connection);
}

bool TZel_ODBCSession::OpenTable() {
    if (DSN.empty()) {
        // Without a data source there is nothing to open; the connection of
        // an earlier definition must not serve this one.
        m_dataSource.reset();
        m_table.reset();
        ReleaseConnection();
        return false;
    }
    // The table is always opened in the data source the definition names,
    // with its credentials, whatever an earlier definition connected to.
    if (!IsConnectedAsDefined())
        Connect();
    m_dataSource.reset();
    m_table.reset();
    m_continuation.Forget();
    auto table = std::make_unique<TZel_ODBCTable>(m_connection, Tablename);
    table->Open();
    // Rows may be posted while columns the data source declares required
    // have no value; the data source's own constraints still apply.
    table->SetRequiredChecks(false);
    m_table = std::move(table);
    m_dataSource = std::make_unique<TZel_DataSource>(m_table.get());
    return true;
}

void TZel_ODBCSession::ValidateFields() {
    if (!IsConnected())
        throw Exception("TZelODBCSession.ValidateFields: session not connected");
    try {
        RequireTable();
        if (KeyFieldName.empty())
            throw Exception("Key Field not specified");
        if (m_table->FindField(KeyFieldName) < 0)
            throw Exception("Key Field [" + KeyFieldName + "] not found in table [" + Tablename + "]");
        for (int n = 1; n <= ZEL_MAX_DEVICE_FIELDS; ++n) {
            const std::string& name = FieldNames[static_cast<size_t>(n)];
            if (!name.empty() && m_table->FindField(name) < 0)
                throw Exception("Field [" + name + "] not found in table [" + Tablename + "]");
        }
    } catch (const std::exception& e) {
        throw Exception(SessionName + ": Could not open [" + DSN + "] " + ExceptionClassName(e) + ": " +
                        e.what());
    }
}

void TZel_ODBCSession::GetTableNames(std::vector<std::string>& list) {
    if (!m_connection)
        return;
    // A connection of the definition's own: a pooled one is never re-opened
    // in place, as the other sessions that share it would follow.
    if (!IsConnectedAsDefined() && !Connect())
        return;
    list = m_connection->TableNames();
}

const std::vector<std::string>& TZel_ODBCSession::GetFieldNames() {
    m_fieldNames.clear();
    if (m_table)
        for (const TZel_FieldDef& field : m_table->Fields())
            m_fieldNames.push_back(field.Name);
    return m_fieldNames;
}

// ---------------------------------------------------------------- requests

void TZel_ODBCSession::RequireTable() const {
    if (!m_table)
        throw EDatabaseError("Table [" + Tablename + "] is not open");
}

const std::string& TZel_ODBCSession::FieldNameOf(int32_t fieldNumber) const {
    static const std::string none;
    return fieldNumber >= 0 && fieldNumber <= ZEL_MAX_DEVICE_FIELDS
               ? FieldNames[static_cast<size_t>(fieldNumber)]
               : none;
}

bool TZel_ODBCSession::IsValidFieldIndex(int32_t fieldNumber) const {
    return !FieldNameOf(fieldNumber).empty();
}

void TZel_ODBCSession::CheckQueryFields(TZel_Query& query, bool lenient) {
    TZel_QueryFieldList& where = query.Param.WhereFields;
    for (int i = 0; i < where.Count(); ++i) {
        const TZel_QueryField& field = *where.Get(i);
        if (!lenient && !IsValidFieldIndex(field.FieldNumber) && !field.Value.empty())
            throw Exception("Invalid field index [" + std::to_string(field.FieldNumber) + "]");
    }
    auto dropInvalid = [this](TZel_QueryFieldList& list, const char* kind) {
        for (int i = 0; i < list.Count();) {
            int32_t number = list.Get(i)->FieldNumber;
            if (IsValidFieldIndex(number)) {
                ++i;
                continue;
            }
            if (GetVerbose())
                LogVerbose(std::string("Ignoring invalid ") + kind + " field index [" +
                           std::to_string(number) + "]");
            list.Delete(i);
        }
    };
    dropInvalid(query.Param.OrderFields, "ORDER BY");
    dropInvalid(query.Param.SelectFields, "SELECT");
}

std::string TZel_ODBCSession::BuildFilterTerm(const TZel_QueryField& field) {
    RequireTable();
    const std::string& name = FieldNameOf(field.FieldNumber);
    const TZel_FieldDef& def = m_table->Fields()[static_cast<size_t>(m_table->FieldByName(name))];
    const std::string value = FieldValueText(def, field.Value);
    TZel_FieldClass kind = def.Class();
    if (kind == TZel_FieldClass::Text && value.find('%') != std::string::npos)
        return FilterFieldRef(name) + " LIKE " + FilterQuotedLiteral(value);
    if (kind == TZel_FieldClass::Numeric) {
        // Only a number may stand unquoted: anything else could widen the filter.
        CheckFieldText(def, value, false);
        return FilterFieldRef(name) + " = " + value;
    }
    return FilterFieldRef(name) + " = " + FilterQuotedLiteral(value);
}

std::string TZel_ODBCSession::BuildFilter(const TZel_Query& query) {
    std::string filter;
    const TZel_QueryFieldList& where = query.Param.WhereFields;
    for (int i = 0; i < where.Count(); ++i) {
        if (i > 0)
            filter += " AND ";
        filter += BuildFilterTerm(*where.Get(i));
    }
    return filter;
}

void TZel_ODBCSession::QuerySelect(TZel_Query& query, bool countOnly) {
    if (!IsConnected())
        throw Exception(SessionName + ": QuerySelect called, but not connected");
    // A continuation serves only the request right after it, whatever this one does.
    TZel_KeysetContinuation previous = std::exchange(m_continuation, {});
    RequireTable();
    CheckQueryFields(query, true);
    TZel_QueryResult& result = query.Result;
    result.StartRow = 0;
    result.EndRow = 0;
    std::string filter = BuildFilter(query);
    if (GetVerbose())
        LogVerbose("SELECT Filter: " + filter);

    if (countOnly) {
        result.EndRow = static_cast<int32_t>(m_table->CountWhere(filter) - 1);
        return;
    }

    std::vector<int> order;
    for (int i = 0; i < query.Param.OrderFields.Count(); ++i)
        order.push_back(m_table->FieldByName(FieldNameOf(query.Param.OrderFields.Get(i)->FieldNumber)));

    result.Fields.AddNumber(0)->IsKey = true;
    for (int i = 0; i < query.Param.SelectFields.Count(); ++i)
        result.Fields.AddNumber(query.Param.SelectFields.Get(i)->FieldNumber);

    // Columns of the result; one that vanished fails at the first row read.
    std::vector<int> columns;
    std::string missing;
    for (int i = 0; i < result.Fields.Count(); ++i) {
        const std::string& name = FieldNameOf(result.Fields.Get(i)->FieldNumber);
        int index = m_table->FindField(name);
        if (index < 0 && missing.empty())
            missing = name;
        columns.push_back(index);
    }
    std::vector<int> readable;
    for (int index : columns)
        if (index >= 0)
            readable.push_back(index);

    // Rows StartRow..EndRow inclusive; EndRow <= 0 means to the last row.
    const int64_t start = query.Param.StartRow;
    const int64_t end = query.Param.EndRow;
    const int64_t offset = std::max<int64_t>(start, 0);
    int64_t limit = end > 0 ? std::max<int64_t>(end - offset + 1, 0) : -1;
    if (query.MaxReplyBytes > 0) {
        // A row of empty values is the smallest any row can take.
        int64_t cap = query.MaxReplyBytes / result.ReplySize(TZel_QueryRow()) + 1;
        limit = limit < 0 ? cap : std::min(limit, cap);
    }

    // A window that continues the previous one seeks past its last row.
    TZel_WindowShape shape{filter, order, readable};
    const std::optional<TZel_SeekKey> after = previous.Take(shape, start);
    TZel_SeekKey lastKey;
    TZel_ODBCTable::Seek seek;
    seek.After = after ? &*after : nullptr;
    seek.LastKey = &lastKey;

    result.StartRow = query.Param.StartRow;
    result.EndRow = -1;
    int64_t position = offset;
    int64_t replyBytes = 0;
    int64_t read = m_table->ReadWindow(
        filter, order, readable, offset, limit,
        [&](std::vector<std::string>& values) {
            if (!missing.empty())
                throw Exception("TZelODBCSession.QuerySelect: could not get value for field [" + missing +
                                "] unexpectedly");
            TZel_QueryRow row;
            size_t next = 0;
            row.reserve(columns.size());
            for (int index : columns)
                row.push_back(index >= 0 ? std::move(values[next++]) : std::string());
            if (query.MaxReplyBytes > 0) {
                int64_t size = result.ReplySize(row);
                if (!result.Rows.empty() && replyBytes + size > query.MaxReplyBytes)
                    return false;
                replyBytes += size;
            }
            result.Rows.push_back(std::move(row));
            result.EndRow = static_cast<int32_t>(position++);
            return true;
        },
        &seek);
    // No row at StartRow: fewer rows than StartRow read as none at all. After
    // a continuation the row before StartRow was just returned.
    if (read == 0 && start > 0 && !seek.Sought && !m_table->RowExistsAt(filter, start - 1)) {
        result.StartRow = 0;
        result.EndRow = 0;
    }
    if (!lastKey.Empty() && result.EndRow >= 0)
        m_continuation.Remember(std::move(shape), result.EndRow + 1, std::move(lastKey));
}

void TZel_ODBCSession::QueryCount(TZel_Query& query) {
    if (!IsConnected())
        throw Exception(SessionName + ": QueryCount called, but not connected");
    QuerySelect(query, true);
}

void TZel_ODBCSession::AssignFieldValues(const TZel_Query& query) {
    m_table->ClearValues();
    const TZel_QueryFieldList& where = query.Param.WhereFields;
    for (int i = 0; i < where.Count(); ++i) {
        const TZel_QueryField& field = *where.Get(i);
        int index =
            IsValidFieldIndex(field.FieldNumber) ? m_table->FindField(FieldNameOf(field.FieldNumber)) : -1;
        if (index >= 0)
            m_table->SetFieldText(index, field.Value);
    }
}

void TZel_ODBCSession::QueryPost(TZel_Query& query) {
    m_continuation.Forget();
    try {
        if (!IsConnected())
            throw Exception(SessionName + ": QueryPost called, but not connected");
        RequireTable();
        CheckQueryFields(query, true);
        query.Result.StartRow = 0;
        query.Result.EndRow = -1;
        UpdateElseInsert(query);
        query.Result.EndRow = 0;
    } catch (const std::exception& e) {
        throw Exception(SessionName + ": Failure Posting data: [" + DSN + "] " + ExceptionClassName(e) +
                        ": " + e.what());
    }
}

namespace {
Exception MoreThanOneRow(int64_t rows) {
    return Exception("POST request matches more than one row [" + std::to_string(rows) +
                     "], no rows updated");
}
} // namespace

bool TZel_ODBCSession::IsPatternTerm(const TZel_QueryField& key) const {
    const int keyField = m_table->FindField(KeyFieldName);
    return keyField >= 0 &&
           m_table->Fields()[static_cast<size_t>(keyField)].Class() == TZel_FieldClass::Text &&
           key.Value.find('%') != std::string::npos;
}

bool TZel_ODBCSession::IsPrimaryKeyTerm(const TZel_QueryField& key) const {
    const std::vector<int>& primaryKey = m_table->KeyFields();
    const int keyField = m_table->FindField(KeyFieldName);
    return keyField >= 0 && primaryKey.size() == 1 && primaryKey[0] == keyField && !IsPatternTerm(key);
}

namespace {
// A unique key that another program inserted between our update and insert.
bool IsUniqueViolation(const EDatabaseError& error) {
    return error.SQLState() == "23505" || error.SQLState() == "23000";
}
constexpr int kPostAttempts = 3;
} // namespace

// What a post guarantees: posts of one key, from any connection of any
// server on the database, take effect as if one ran after the other, so a
// new key is inserted once and every later post updates it.
// - A key compared for equality with the table's one-column primary key
//   names one row at most: one UPDATE, on its own, finds and writes it.
//   The row locks of the database order it with other writers of the row.
// - Otherwise (no row had that key, the key column is not the primary key,
//   or the key is a pattern) update and insert are one transaction that
//   first waits for the other writers of the key: on PostgreSQL an advisory
//   lock on the table and key (a pattern locks the whole table, as it may
//   match any row); on SQLite "BEGIN IMMEDIATE" takes the file's write lock
//   before anything is read, so the busy timeout applies and no reader has
//   to become a writer. Then the key's rows are counted: more than one
//   fails, one is updated, none inserts.
// - An insert that meets a unique key another program inserted meanwhile
//   is tried again as a whole: the update then finds the row.
void TZel_ODBCSession::UpdateElseInsert(const TZel_Query& query) {
    const TZel_QueryField* key = query.Param.WhereFields.FindByNumber(0);
    if (!key) {
        AssignFieldValues(query);
        m_table->InsertRow();
        return;
    }
    const std::string filter = BuildFilterTerm(*key);
    if (GetVerbose())
        LogVerbose("POST Filter: " + filter);
    if (IsPrimaryKeyTerm(*key)) {
        AssignFieldValues(query);
        if (m_table->UpdateWhere(filter) > 0)
            return;
    }
    const bool pattern = IsPatternTerm(*key);
    for (int attempt = 1;; ++attempt) {
        try {
            TOdbcTransaction transaction(m_table->Connection(), true);
            if (pattern)
                m_table->LockTable();
            else
                m_table->LockKey(filter);
            // Counted first: writing one value into several rows could meet a
            // unique key before it showed that the key matches several rows.
            const int64_t matching = m_table->CountWhere(filter);
            if (matching > 1)
                throw MoreThanOneRow(matching);
            AssignFieldValues(query);
            int64_t updated = matching == 1 ? m_table->UpdateWhere(filter) : 0;
            if (updated > 1)
                throw MoreThanOneRow(updated);
            if (updated == 0) {
                AssignFieldValues(query);
                m_table->InsertRow();
            }
            transaction.Commit();
            return;
        } catch (const EDatabaseError& error) {
            if (attempt == kPostAttempts || !IsUniqueViolation(error))
                throw;
        }
    }
}

void TZel_ODBCSession::QueryDelete(TZel_Query& query) {
    if (!IsConnected())
        throw Exception(SessionName + ": QueryDelete called, but not connected");
    m_continuation.Forget();
    RequireTable();
    CheckQueryFields(query, false);
    query.Result.StartRow = 0;
    query.Result.EndRow = 0;
    std::string filter = BuildFilter(query);
    if (GetVerbose())
        LogVerbose("DELETE Filter: " + filter);
    // One statement: every matching row goes, or none does. It waits for a
    // post whose key is a pattern, which may write any row of the table.
    TOdbcTransaction transaction(m_table->Connection(), true);
    m_table->LockTableShared();
    query.Result.EndRow = static_cast<int32_t>(m_table->DeleteWhere(filter));
    transaction.Commit();
}
