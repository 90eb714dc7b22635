#include "E2eDataFixture.h"

#include "protocol/Zel_ODBCQuery.h"
#include "support/Files.h"
#include "support/TestHandheld.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

std::string StockRow(int i) {
    char itemNo[16];
    std::snprintf(itemNo, sizeof itemNo, "A%05d", i);
    const char* kinds[] = {"Hex bolt M", "Hinge ", "Washer "};
    const std::string location = i == 7 ? "" : "L-" + std::to_string(i % 5);
    return std::string("('") + itemNo + "', '" + kinds[i % 3] + std::to_string(i) + "', " +
           std::to_string(i * 10) + ", " + std::to_string(i) + ".50, '" + location + "', '2026-01-" +
           (i % 28 < 9 ? "0" : "") + std::to_string(i % 28 + 1) + "')";
}

} // namespace

void E2eDataTest::SetUp() {
    OdbcTestEnv::Get().Prepare(GetParam());
    std::string rows;
    for (int i = 1; i <= 42; ++i)
        rows += (i > 1 ? ", " : "") + StockRow(i);
    Exec(
        {"DROP TABLE IF EXISTS stock", "DROP TABLE IF EXISTS pairs", "DROP TABLE IF EXISTS bigrows",
         "CREATE TABLE stock (ItemNo varchar(20) PRIMARY KEY NOT NULL, Description varchar(60) NOT NULL, "
         "Quantity integer NOT NULL DEFAULT 0, Price decimal(10,2), Location varchar(12), LastCounted date)",
         "INSERT INTO stock VALUES " + rows,
         "CREATE TABLE pairs (Code varchar(10) PRIMARY KEY, Name varchar(20), Qty integer, Note varchar(20))",
         "INSERT INTO pairs VALUES ('A0', 'zero', 0, 'x'), ('A1', 'one', 1, 'B'), ('A2', 'two', 2, NULL)"});

    m_port = FreeLoopbackPort();
    const std::string config = m_folder.File("ZelWireless.ini");
    WriteAll(config,
             SettingsSection(m_port) +
                 SessionSection({1,
                                 "E2E stock",
                                 Dsn(),
                                 "stock",
                                 "ItemNo",
                                 {"Description", "Quantity", "Price", "Location", "LastCounted"}}) +
                 SessionSection({2, "Pairs", Dsn(), "pairs", "Code", {"Name", "Qty", "Note"}}) +
                 SessionSection({3, "Big rows", Dsn(), "bigrows", "Code", {"Body"}}) +
                 SessionSection({4, "Closed stock", Dsn(), "stock", "ItemNo", {"Description"}, false}) +
                 ExtraConfig());
    m_server = std::make_unique<TServerProcess>(m_folder);
    ASSERT_TRUE(m_server->Start(config)) << m_server->Output();
}

void E2eDataTest::TearDown() {
    if (m_server)
        m_server->Stop();
}

void E2eDataTest::CreateBigRows() {
    std::vector<std::string> statements = {"CREATE TABLE bigrows (Code varchar(10) PRIMARY KEY, Body text)"};
    for (int i = 1; i <= 6; ++i)
        statements.push_back("INSERT INTO bigrows VALUES ('B" + std::to_string(i) + "', '" +
                             std::string(i == 6 ? 100000 : 30000, static_cast<char>('a' + i)) + "')");
    Exec(statements);
}

void E2eDataTest::Open(Pda::THandheldClient& client, int session) {
    client.Connect("127.0.0.1", m_port, 10000);
    ASSERT_TRUE(client.Hello("1.0", "e2e").Accepted);
    ASSERT_TRUE(client.Login({"tester", "E2E-1", "T1", "TestOS"}).Accepted);
    if (session == 0)
        return;
    const Pda::TStatusReply selected = client.SelectSession(session, "e2e", "plug", "1.0");
    ASSERT_TRUE(selected.Accepted) << selected.Text;
}

TProgramRun E2eDataTest::Pda(const std::vector<std::string>& args) {
    std::vector<std::string> command = {PdaProgram(), "--port", std::to_string(m_port), "--timeout", "10"};
    command.insert(command.end(), args.begin(), args.end());
    return RunProgram(command, m_folder);
}

void AddWhere(TZel_QueryParam& param, int field, const std::string& value) {
    TZel_QueryField* entry = param.WhereFields.AddNumber(field);
    entry->Value = value;
    entry->IsKey = field == 0;
}

std::vector<std::string> Keys(const std::vector<Pda::TDataRow>& rows) {
    std::vector<std::string> keys;
    for (const Pda::TDataRow& row : rows)
        keys.push_back(row.Columns.at(0).Value);
    return keys;
}
