#pragma once

#include "base/IniFile.h"
#include "data/Zel_ODBCSession.h"
#include "protocol/Zel_ODBCQuery.h"
#include "support/OdbcTestEnv.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// A Stock table with text, integer, decimal, date and NULL values, and the
// session "Stock count" (Session02) mapping ItemNo (key), Descr, Qty, Price
// and Received to device fields 0..4, opened and validated.
class DataTest : public ::testing::TestWithParam<TestDriver> {
protected:
    void SetUp() override;

    TestDriver Driver() const { return GetParam(); }
    std::string Dsn() const { return OdbcTestEnv::DsnName(GetParam()); }
    void Exec(const std::vector<std::string>& statements) {
        OdbcTestEnv::Get().ExecSql(GetParam(), statements);
    }
    std::vector<std::vector<std::string>> Query(const std::string& sql) {
        return OdbcTestEnv::Get().QuerySql(GetParam(), sql);
    }
    std::string IniFileName() const;
    // Writes the session section; fields are Field01.. in order.
    void WriteSession(int number, const std::string& key, const std::vector<std::string>& fields,
                      const std::string& table = "Stock");
    std::unique_ptr<TZel_ODBCSession> OpenSession(int number);

    std::unique_ptr<TIniFile> m_ini;
    std::unique_ptr<TZel_ODBCSession> m_session;
};

// Request building helpers.
void AddWhere(TZel_Query& query, int field, const std::string& value);
void AddSelect(TZel_Query& query, std::initializer_list<int> fields);
void AddOrder(TZel_Query& query, std::initializer_list<int> fields);
// Column 0 (the key) of every result row.
std::vector<std::string> Keys(const TZel_Query& query);
