#pragma once

#include "data/Zel_KeysetContinuation.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

class TIniFile;
class TZel_Query;
class TZel_QueryField;
class TZel_ODBCTable;
class TZel_DataSource;
class TZel_ConnectionPool;
class TOdbcConnection;

enum TSessionUpdateType : uint8_t {
    utAppendToExisting = 0,
    utOverwriteExisting = 1,
    utUpdateExisting = 2,
    utUpdateExistingAppendIfNotFound = 3,
};

enum TSessionFilterType : uint8_t {
    fltNone = 0,
    fltStatic = 1,
    fltPrompt = 2,
};

struct TSessionFilter {
    TSessionFilterType Type = fltNone;
    std::string Field;
    std::string Operator;
    std::string Value;
};

constexpr int ZEL_MAX_DEVICE_FIELDS = 30; // device fields 1..30; 0 is the key
constexpr int ZEL_MAX_INDEX_FIELDS = 30;

// One transfer session: its definition in the configuration file, its
// connection to the data source and table, and the requests of a handheld
// run against that table.
//
// Connections: with ConnectionPool set, sessions on the same data source,
// user name and password share one physical connection (and its prepared
// statements); without it the session opens a connection of its own. Each
// session keeps its own table object either way. OpenTable always opens the
// table in the data source, with the user name and password, that the
// definition names at that moment.
class TZel_ODBCSession {
public:
    TZel_ODBCSession();
    ~TZel_ODBCSession();
    TZel_ODBCSession(const TZel_ODBCSession&) = delete;
    TZel_ODBCSession& operator=(const TZel_ODBCSession&) = delete;

    // Definition
    int32_t SessionNumber = 0;
    TIniFile* IniFile = nullptr; // not owned
    std::string SessionName;
    std::string DSN;
    std::string Tablename;
    std::string Username;
    std::string Password;
    std::string KeyFieldName;
    bool Enabled = false;
    TSessionUpdateType UpdateType = utAppendToExisting;
    bool DeleteAfterTransfer = false;
    // Slot 0 is KeyFieldName, slots 1..30 the columns of device fields 1..30.
    std::array<std::string, ZEL_MAX_DEVICE_FIELDS + 1> FieldNames;
    int32_t IndexFieldCount = 0;
    std::array<std::string, ZEL_MAX_INDEX_FIELDS> IndexFieldNames;
    TSessionFilter FilterToDevice;
    TSessionFilter FilterFromDevice;

    // Shared connections; not owned, may stay null. Set before Connect.
    TZel_ConnectionPool* ConnectionPool = nullptr;

    // "Session%.2d"
    static std::string SectionNameOf(int32_t sessionNumber);
    std::string SectionName() const { return SectionNameOf(SessionNumber); }

    void ReadINISettings();
    bool IsEnabled();
    void SetUpdateType(int32_t value);
    void SetFilterToDeviceType(int32_t value);
    void SetFilterFromDeviceType(int32_t value);

    // Connection and schema
    bool IsConnected() const;
    bool Connect();
    bool OpenTable();
    void ValidateFields();
    void GetTableNames(std::vector<std::string>& list);
    const std::vector<std::string>& GetFieldNames();
    TZel_ODBCTable* Table() const { return m_table.get(); }
    TZel_DataSource* DataSource() const { return m_dataSource.get(); }
    std::shared_ptr<TOdbcConnection> Connection() const { return m_connection; }
    // Runs the next statements on this open connection, which the caller
    // made to the data source, user name and password of the definition
    // (the server's workers; any of them may run a session's next request).
    void AttachConnection(std::shared_ptr<TOdbcConnection> connection);
    // No connection to run on: the requests then fail as not connected.
    void DetachConnection() { ReleaseConnection(); }

    // Requests
    bool IsValidFieldIndex(int32_t fieldNumber) const;
    void CheckQueryFields(TZel_Query& query, bool lenient);
    std::string BuildFilterTerm(const TZel_QueryField& field);
    std::string BuildFilter(const TZel_Query& query);
    void QuerySelect(TZel_Query& query, bool countOnly);
    void QueryCount(TZel_Query& query);
    void QueryPost(TZel_Query& query);
    void AssignFieldValues(const TZel_Query& query);
    void QueryDelete(TZel_Query& query);

private:
    // Connected, and to the data source, user name and password of the definition.
    bool IsConnectedAsDefined() const;
    void ReleaseConnection();
    // Raises the data layer's error unless the table is open.
    void RequireTable() const;
    // Whether the key entry compares the one-column primary key for equality.
    bool IsPrimaryKeyTerm(const TZel_QueryField& key) const;
    // Whether the key entry is a pattern ("%" in a text key), which may match many rows.
    bool IsPatternTerm(const TZel_QueryField& key) const;
    void UpdateElseInsert(const TZel_Query& query);
    const std::string& FieldNameOf(int32_t fieldNumber) const;

    std::shared_ptr<TOdbcConnection> m_connection;
    std::tuple<std::string, std::string, std::string> m_connectedAs; // DSN, user name, password
    std::unique_ptr<TZel_ODBCTable> m_table;
    std::unique_ptr<TZel_DataSource> m_dataSource;
    std::vector<std::string> m_fieldNames;
    // Where the handheld's download stands after the last select; any other
    // request forgets it.
    TZel_KeysetContinuation m_continuation;
};
