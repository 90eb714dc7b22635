#include "DataTestFixture.h"

#include "base/Exception.h"
#include "data/Zel_ConnectionPool.h"
#include "data/Zel_DataSource.h"
#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"

#include <algorithm>
#include <fstream>
#include <functional>

namespace {

using SessionConnectTest = DataTest;

std::string ValidateFailure(TZel_ODBCSession& session) {
    try {
        session.ValidateFields();
    } catch (const Exception& e) {
        return e.what();
    }
    return "no failure";
}

TEST_P(SessionConnectTest, FieldNamesMatchWithoutRegardToCase) {
    WriteSession(3, "itemno", {"DESCR", "qty"}, "stock");
    auto session = OpenSession(3);
    EXPECT_EQ(ValidateFailure(*session), "no failure");
    TZel_Query query;
    AddSelect(query, {1});
    AddWhere(query, 2, "9");
    session->QuerySelect(query, false);
    ASSERT_EQ(query.Result.Rows.size(), 1u);
    EXPECT_EQ(query.Result.Rows[0], (TZel_QueryRow{"A05", "Gizmo"}));
}

TEST_P(SessionConnectTest, ValidationNamesTheFirstMissingField) {
    struct Case {
        const char* key;
        std::vector<std::string> fields;
        std::string message;
    } cases[] = {
        {"", {"Descr"}, "Key Field not specified"},
        {"Nope", {"Descr"}, "Key Field [Nope] not found in table [Stock]"},
        {"ItemNo", {"Descr", "", "Price2", "Gone"}, "Field [Price2] not found in table [Stock]"},
    };
    for (const Case& c : cases) {
        WriteSession(4, c.key, c.fields);
        TZel_ODBCSession session;
        session.SessionNumber = 4;
        session.IniFile = m_ini.get();
        session.ReadINISettings();
        ASSERT_TRUE(session.OpenTable());
        EXPECT_EQ(ValidateFailure(session),
                  "Stock count: Could not open [" + Dsn() + "] Exception: " + c.message);
    }
}

TEST_P(SessionConnectTest, EmptyDsnNeitherConnectsNorValidates) {
    TZel_ODBCSession session;
    EXPECT_FALSE(session.Connect());
    EXPECT_FALSE(session.OpenTable());
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(ValidateFailure(session), "TZelODBCSession.ValidateFields: session not connected");
}

TEST_P(SessionConnectTest, FailedConnectLeavesNoConnection) {
    TZel_ODBCSession session;
    session.DSN = Dsn();
    ASSERT_TRUE(session.Connect());
    EXPECT_TRUE(session.IsConnected());
    session.DSN = "ZelNoSuchSource";
    EXPECT_THROW(session.Connect(), EDatabaseError);
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(session.Connection(), nullptr);
}

TEST_P(SessionConnectTest, MissingTableRaisesTheDriversError) {
    WriteSession(5, "ItemNo", {}, "NoSuchTable");
    TZel_ODBCSession session;
    session.SessionNumber = 5;
    session.IniFile = m_ini.get();
    session.ReadINISettings();
    EXPECT_THROW(session.OpenTable(), EDatabaseError);
}

TEST_P(SessionConnectTest, ListsTablesFieldsAndDataSources) {
    Exec({"DROP TABLE IF EXISTS Other", "CREATE TABLE Other (x integer)"});
    std::vector<std::string> tables{"left alone"};
    TZel_ODBCSession idle;
    idle.GetTableNames(tables);
    EXPECT_EQ(tables, std::vector<std::string>{"left alone"});
    m_session->GetTableNames(tables);
    std::vector<std::string> lower;
    for (auto name : tables) {
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        lower.push_back(name);
    }
    for (const char* table : {"other", "stock"})
        EXPECT_TRUE(std::find(lower.begin(), lower.end(), table) != lower.end()) << table;
    for (const std::string& name : lower)
        EXPECT_TRUE(name.rfind("sqlite_", 0) != 0 && name.rfind("pg_", 0) != 0) << name;

    const std::vector<std::string>& first = m_session->GetFieldNames();
    ASSERT_EQ(first.size(), 5u);
    std::string key = first[0];
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    EXPECT_EQ(key, "itemno");
    EXPECT_EQ(m_session->GetFieldNames().size(), 5u);

    auto sources = TZel_ConnectionPool::DataSourceNames();
    EXPECT_NE(std::find(sources.begin(), sources.end(), Dsn()), sources.end());
    ASSERT_NE(m_session->DataSource(), nullptr);
    EXPECT_EQ(m_session->DataSource()->DataSet(), m_session->Table());
}

TEST_P(SessionConnectTest, PooledSessionsShareOneConnectionAndItsStatements) {
    TZel_ConnectionPool pool;
    std::vector<std::unique_ptr<TZel_ODBCSession>> sessions;
    for (int i = 0; i < 3; ++i) {
        auto session = std::make_unique<TZel_ODBCSession>();
        session->SessionNumber = 2;
        session->IniFile = m_ini.get();
        session->ConnectionPool = &pool;
        session->ReadINISettings();
        ASSERT_TRUE(session->OpenTable());
        session->ValidateFields();
        sessions.push_back(std::move(session));
    }
    EXPECT_EQ(pool.OpenCount(), 1);
    EXPECT_EQ(sessions[0]->Connection(), sessions[2]->Connection());

    auto selectByKey = [](TZel_ODBCSession& session, const std::string& key) {
        TZel_Query query;
        AddSelect(query, {1});
        AddWhere(query, 0, key);
        session.QuerySelect(query, false);
        return query.Result.Rows.at(0).at(1);
    };
    EXPECT_EQ(selectByKey(*sessions[0], "A01"), "Widget small");
    size_t cached = sessions[0]->Connection()->CachedStatementCount();
    EXPECT_EQ(selectByKey(*sessions[1], "A05"), "Gizmo");
    EXPECT_EQ(selectByKey(*sessions[2], "A09"), "Sprocket");
    EXPECT_EQ(sessions[0]->Connection()->CachedStatementCount(), cached);

    sessions.clear();
    EXPECT_EQ(pool.OpenCount(), 0);
}

TestDriver OtherDriver(TestDriver driver) {
    return driver == TestDriver::SQLite ? TestDriver::PostgreSQL : TestDriver::SQLite;
}

// A selection after the definition changed opens the table in the data
// source the definition now names, with its credentials; an empty DSN
// leaves the session without a connection.
TEST_P(SessionConnectTest, ReselectedSessionUsesTheDataSourceItNowNames) {
    const TestDriver other = OtherDriver(Driver());
    OdbcTestEnv::Get().Prepare(other);
    OdbcTestEnv::Get().ExecSql(other, {"DROP TABLE IF EXISTS Stock",
                                       "CREATE TABLE Stock (ItemNo varchar(20) PRIMARY KEY, Descr text, "
                                       "Qty integer, Price decimal(10,2), Received date)"});
    TZel_ConnectionPool pool;
    for (bool pooled : {false, true}) {
        SCOPED_TRACE(pooled ? "pooled" : "private");
        TZel_ODBCSession session;
        session.SessionNumber = 2;
        session.IniFile = m_ini.get();
        session.ConnectionPool = pooled ? &pool : nullptr;
        auto select = [&session] {
            session.ReadINISettings();
            ASSERT_TRUE(session.OpenTable());
            session.ValidateFields();
        };
        select();

        m_ini->WriteString("Session02", "DSN", OdbcTestEnv::DsnName(other));
        select();
        TZel_Query post;
        AddWhere(post, 0, "N01");
        AddWhere(post, 1, "Elsewhere");
        session.QueryPost(post);
        EXPECT_EQ(OdbcTestEnv::Get().QuerySql(other, "SELECT Descr FROM Stock WHERE ItemNo = 'N01'"),
                  (std::vector<std::vector<std::string>>{{"Elsewhere"}}));
        EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE ItemNo = 'N01'")[0][0], "0");
        OdbcTestEnv::Get().ExecSql(other, {"DELETE FROM Stock"});

        // Same data source, other user name: a connection of its own.
        m_ini->WriteString("Session02", "DSN", Dsn());
        select();
        const std::shared_ptr<TOdbcConnection> back = session.Connection();
        EXPECT_EQ(back->Dsn(), Dsn());
        m_ini->WriteString("Session02", "Username", "zel");
        select();
        EXPECT_TRUE(session.Connection() != back);
        m_ini->WriteString("Session02", "Username", "");

        m_ini->WriteString("Session02", "DSN", "");
        session.ReadINISettings();
        EXPECT_FALSE(session.OpenTable());
        EXPECT_FALSE(session.IsConnected());
        EXPECT_EQ(ValidateFailure(session), "TZelODBCSession.ValidateFields: session not connected");
        m_ini->WriteString("Session02", "DSN", Dsn());
    }
}

// Listing the tables of another data source than the one a shared
// connection serves takes a connection of that source; the sharers stay.
TEST_P(SessionConnectTest, TableNamesComeFromTheSessionsOwnDataSource) {
    const TestDriver other = OtherDriver(Driver());
    OdbcTestEnv::Get().Prepare(other);
    OdbcTestEnv::Get().ExecSql(other,
                               {"DROP TABLE IF EXISTS OnlyThere", "CREATE TABLE OnlyThere (x integer)"});
    Exec({"DROP TABLE IF EXISTS OnlyThere"});
    TZel_ConnectionPool pool;
    TZel_ODBCSession sessions[2];
    for (TZel_ODBCSession& session : sessions) {
        session.SessionNumber = 2;
        session.IniFile = m_ini.get();
        session.ConnectionPool = &pool;
        session.ReadINISettings();
        ASSERT_TRUE(session.OpenTable());
    }
    ASSERT_EQ(sessions[0].Connection(), sessions[1].Connection());
    sessions[1].DSN = OdbcTestEnv::DsnName(other);
    std::vector<std::string> tables;
    sessions[1].GetTableNames(tables);
    for (std::string& name : tables)
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    EXPECT_TRUE(std::find(tables.begin(), tables.end(), "onlythere") != tables.end());
    EXPECT_EQ(sessions[0].Connection()->Dsn(), Dsn());
    TZel_Query query;
    sessions[0].QuerySelect(query, false);
    EXPECT_EQ(query.Result.Rows.size(), 10u);
}

using PostgresOnlyTest = DataTest;

// A pooled connection whose link was lost is never opened again in place
// for a session with other credentials: its other users would follow.
TEST_P(PostgresOnlyTest, TableNamesOfALostSharedConnectionUseAConnectionOfTheirOwn) {
    TZel_ConnectionPool pool;
    TZel_ODBCSession sessions[2];
    for (TZel_ODBCSession& session : sessions) {
        session.SessionNumber = 2;
        session.IniFile = m_ini.get();
        session.ConnectionPool = &pool;
        session.ReadINISettings();
        ASSERT_TRUE(session.OpenTable());
    }
    const std::shared_ptr<TOdbcConnection> shared = sessions[0].Connection();
    OdbcTestEnv::Get().StopPostgres();
    TZel_Query during;
    EXPECT_THROW(sessions[0].QuerySelect(during, false), EDatabaseError);
    OdbcTestEnv::Get().StartPostgres();
    sessions[1].Password = "another"; // the test cluster trusts every password
    std::vector<std::string> tables;
    sessions[1].GetTableNames(tables);
    EXPECT_FALSE(tables.empty());
    EXPECT_FALSE(shared->IsOpen());
    EXPECT_TRUE(sessions[1].Connection() != shared);
}

// The table name is looked up in the catalog: no failing query (and no
// error line in the database's log) for a name stored in another case.
TEST_P(PostgresOnlyTest, TableNameInAnotherCaseCostsNoFailingQuery) {
    auto failures = [] {
        std::ifstream log(OdbcTestEnv::Get().PostgresLogFile());
        std::string line;
        int count = 0;
        while (std::getline(log, line))
            count += line.find("relation \"Stock\" does not exist") != std::string::npos;
        return count;
    };
    const int before = failures();
    auto session = OpenSession(2);
    TZel_Query query;
    session->QuerySelect(query, false);
    EXPECT_EQ(query.Result.Rows.size(), 10u);
    EXPECT_EQ(failures(), before);
}

// ALTER COLUMN ... TYPE under an open session: PostgreSQL refuses prepared
// statements whose result type changed. At most the request that meets the
// change fails; a selection after the change meets none.
TEST_P(PostgresOnlyTest, ChangedColumnTypeFailsAtMostOneRequest) {
    TZel_ConnectionPool pool;
    TZel_ODBCSession session;
    session.SessionNumber = 2;
    session.IniFile = m_ini.get();
    session.ConnectionPool = &pool;
    auto select = [&session] {
        session.ReadINISettings();
        ASSERT_TRUE(session.OpenTable());
        session.ValidateFields();
    };
    auto requests = [&session] {
        int failed = 0;
        auto run = [&failed](const std::function<void()>& request) {
            try {
                request();
            } catch (const std::exception&) {
                ++failed;
            }
        };
        run([&] {
            TZel_Query query;
            AddSelect(query, {2});
            AddWhere(query, 0, "A02");
            session.QuerySelect(query, false);
            EXPECT_EQ(query.Result.Rows.at(0).at(1), "7");
        });
        run([&] {
            TZel_Query query;
            AddSelect(query, {1, 2});
            AddOrder(query, {2});
            session.QuerySelect(query, false);
            EXPECT_EQ(query.Result.Rows.size(), 10u);
        });
        run([&] {
            TZel_Query query;
            AddWhere(query, 2, "7");
            session.QueryCount(query);
            EXPECT_EQ(query.Result.EndRow, 3);
        });
        run([&] {
            TZel_Query query;
            AddWhere(query, 0, "A02");
            AddWhere(query, 2, "7");
            session.QueryPost(query);
        });
        return failed;
    };
    select();
    EXPECT_EQ(requests(), 0);
    Exec({"ALTER TABLE Stock ALTER COLUMN Qty TYPE bigint"});
    EXPECT_LE(requests(), 1);
    EXPECT_EQ(requests(), 0);

    Exec({"ALTER TABLE Stock ALTER COLUMN Qty TYPE integer"});
    select();
    EXPECT_EQ(requests(), 0);
}

TEST_P(PostgresOnlyTest, LostConnectionReportsNotConnectedAndReconnects) {
    TZel_ConnectionPool pool;
    TZel_ODBCSession session;
    session.SessionNumber = 2;
    session.IniFile = m_ini.get();
    session.ConnectionPool = &pool;
    session.ReadINISettings();
    ASSERT_TRUE(session.OpenTable());
    TZel_Query before;
    session.QuerySelect(before, false);
    EXPECT_EQ(before.Result.Rows.size(), 10u);

    OdbcTestEnv::Get().StopPostgres();
    TZel_Query during;
    EXPECT_THROW(session.QuerySelect(during, false), EDatabaseError);
    EXPECT_FALSE(session.IsConnected());
    OdbcTestEnv::Get().StartPostgres();

    // What the next session selection does.
    session.ReadINISettings();
    ASSERT_TRUE(session.OpenTable());
    session.ValidateFields();
    TZel_Query after;
    session.QuerySelect(after, false);
    EXPECT_EQ(after.Result.Rows.size(), 10u);
}

TEST_P(PostgresOnlyTest, WrongUserIsRefusedWithTheDriversMessage) {
    TZel_ODBCSession session;
    session.DSN = Dsn();
    session.Username = "nobody";
    session.Password = "wrong";
    try {
        session.Connect();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("nobody"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("SQLSTATE"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(session.IsConnected());
}

INSTANTIATE_TEST_SUITE_P(Drivers, SessionConnectTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });
INSTANTIATE_TEST_SUITE_P(Drivers, PostgresOnlyTest, ::testing::Values(TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
