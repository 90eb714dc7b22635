#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "E2eServer.h"
#include "support/OdbcTestEnv.h"
#include "zel-pda/HandheldClient.h"

// The real server on a free port with four sessions on the driver's DSN:
//   1 "E2E stock": stock, key ItemNo, 1 Description, 2 Quantity, 3 Price,
//     4 Location, 5 LastCounted; 42 rows A00001..A00042 (14 "Hex bolt",
//     14 "Hinge", 14 "Washer"; A00007 has an empty Location)
//   2 "Pairs": pairs, key Code, 1 Name, 2 Qty, 3 Note; A0/x, A1/B, A2/NULL
//   3 "Big rows": bigrows, key Code, 1 Body (CreateBigRows fills it)
//   4 "Closed stock": stock, not enabled
class E2eDataTest : public ::testing::TestWithParam<TestDriver> {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string Dsn() const { return OdbcTestEnv::DsnName(GetParam()); }
    // Appended to the configuration file the server starts with.
    virtual std::string ExtraConfig() const { return {}; }
    void Exec(const std::vector<std::string>& statements) {
        OdbcTestEnv::Get().ExecSql(GetParam(), statements);
    }
    std::string Scalar(const std::string& sql) {
        return OdbcTestEnv::Get().QuerySql(GetParam(), sql).at(0).at(0);
    }
    // bigrows: B1..B5 with bodies of 30,000 bytes, B6 with 100,000 bytes.
    void CreateBigRows();

    // Connects, greets and logs in; selects the session unless it is 0.
    void Open(Pda::THandheldClient& client, int session = 1);
    // zel-pda against this server, with the arguments after the port.
    TProgramRun Pda(const std::vector<std::string>& args);

    TTempFolder m_folder;
    int m_port = 0;
    std::unique_ptr<TServerProcess> m_server;
};

// A request param of where items: field 0 as the key ("WK").
void AddWhere(TZel_QueryParam& param, int field, const std::string& value);
// The key column of every row.
std::vector<std::string> Keys(const std::vector<Pda::TDataRow>& rows);
