#include "DataTestFixture.h"

#include <cstdio>

namespace {
OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();
}

void DataTest::SetUp() {
    OdbcTestEnv::Get().Prepare(Driver());
    // Unquoted names: PostgreSQL folds them to lower case, SQLite keeps the
    // spelling; the session names them in mixed case on both.
    Exec({"DROP TABLE IF EXISTS Stock",
          "CREATE TABLE Stock (ItemNo varchar(20) PRIMARY KEY, Descr text, Qty integer, Price decimal(10,2), "
          "Received date)",
          "INSERT INTO Stock VALUES ('A01', 'Widget small', 5, 1.50, '2024-01-05')",
          "INSERT INTO Stock VALUES ('A02', 'Widget large', 7, 12.50, '2024-02-29')",
          "INSERT INTO Stock VALUES ('A03', 'Gadget', 7, 3.00, NULL)",
          "INSERT INTO Stock VALUES ('A04', 'Widget blue', 2, 0.99, '2023-12-31')",
          "INSERT INTO Stock VALUES ('A05', 'Gizmo', 9, 100.00, '2024-03-01')",
          "INSERT INTO Stock VALUES ('A06', 'Widget red', 7, 4.25, '2024-03-02')",
          "INSERT INTO Stock VALUES ('A07', 'Doohickey', NULL, NULL, NULL)",
          "INSERT INTO Stock VALUES ('A08', 'Widget green', 1, 2.00, '2024-04-01')",
          "INSERT INTO Stock VALUES ('A09', 'Sprocket', 3, 7.75, '2024-05-01')",
          "INSERT INTO Stock VALUES ('A10', 'Widget tiny', 7, 0.10, '2024-06-01')"});
    m_ini = std::make_unique<TIniFile>(IniFileName());
    WriteSession(2, "ItemNo", {"Descr", "Qty", "Price", "Received"});
    m_session = OpenSession(2);
}

std::string DataTest::IniFileName() const {
    return OdbcTestEnv::Get().Folder() + "/ZelWireless.ini";
}

void DataTest::WriteSession(int number, const std::string& key, const std::vector<std::string>& fields,
                            const std::string& table) {
    std::string section = TZel_ODBCSession::SectionNameOf(number);
    m_ini->EraseSection(section);
    m_ini->WriteString(section, "SessionName", "Stock count");
    m_ini->WriteBool(section, "Enabled", true);
    m_ini->WriteString(section, "DSN", Dsn());
    m_ini->WriteString(section, "Tablename", table);
    m_ini->WriteString(section, "KeyFieldName", key);
    for (size_t i = 0; i < fields.size(); ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Field%.2d", static_cast<int>(i + 1));
        m_ini->WriteString(section, name, fields[i]);
    }
}

std::unique_ptr<TZel_ODBCSession> DataTest::OpenSession(int number) {
    auto session = std::make_unique<TZel_ODBCSession>();
    session->SessionNumber = number;
    session->IniFile = m_ini.get();
    session->ReadINISettings();
    EXPECT_TRUE(session->IsEnabled());
    EXPECT_TRUE(session->OpenTable());
    session->ValidateFields();
    return session;
}

void AddWhere(TZel_Query& query, int field, const std::string& value) {
    TZel_QueryField* entry = query.Param.WhereFields.AddNumber(field);
    entry->Value = value;
}

void AddSelect(TZel_Query& query, std::initializer_list<int> fields) {
    for (int field : fields)
        query.Param.SelectFields.AddNumber(field);
}

void AddOrder(TZel_Query& query, std::initializer_list<int> fields) {
    for (int field : fields)
        query.Param.OrderFields.AddNumber(field);
}

std::vector<std::string> Keys(const TZel_Query& query) {
    std::vector<std::string> keys;
    for (const auto& row : query.Result.Rows)
        keys.push_back(row.at(0));
    return keys;
}
