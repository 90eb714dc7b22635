#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// ODBC data sources for tests: a temporary folder with its own odbc.ini and
// odbcinst.ini (ODBCINI and ODBCSYSINI point there, so the user's and the
// system's DSN files are never read or written), a SQLite3 DSN on a database
// file in that folder, and a PostgreSQL DSN on a private cluster that is
// started on first use and stopped when the test program ends.
//
// Register it once per test program, at namespace scope of one test file:
//     static OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();
// then use OdbcTestEnv::Get() in fixtures, and Prepare(driver) before the
// first ODBC call of a test.

enum class TestDriver { SQLite, PostgreSQL };

// "SQLite" / "PostgreSQL", for parameterised test names.
std::string TestDriverName(TestDriver driver);

// A direct ODBC connection of the test itself (not the code under test):
// for fixtures, checks and holding locks. Failures throw std::runtime_error
// with the driver's diagnostics.
class OdbcTestConnection {
public:
    explicit OdbcTestConnection(const std::string& dsn);
    ~OdbcTestConnection();
    OdbcTestConnection(const OdbcTestConnection&) = delete;
    OdbcTestConnection& operator=(const OdbcTestConnection&) = delete;

    // Runs one statement; several statements: call several times.
    void Exec(const std::string& sql);
    // Rows of a query, every value as text, NULL as "<null>".
    std::vector<std::vector<std::string>> Query(const std::string& sql);
    // First value of the first row.
    std::string Scalar(const std::string& sql);
    void SetAutocommit(bool on);
    void Commit();
    void Rollback();

private:
    struct Handles;
    std::unique_ptr<Handles> m_h;
};

class OdbcTestEnv : public ::testing::Environment {
public:
    static OdbcTestEnv* Register();
    static OdbcTestEnv& Get();

    void SetUp() override;
    void TearDown() override;

    // The temporary folder; everything of this environment lives inside it.
    const std::string& Folder() const { return m_folder; }
    // DSN names in the temporary odbc.ini.
    static std::string DsnName(TestDriver driver);
    const std::string& SqliteFile() const { return m_sqliteFile; }
    // Busy timeout of the SQLite DSN, milliseconds.
    static constexpr int SqliteTimeoutMs = 1000;
    // Lock timeout set on the PostgreSQL test database.
    static constexpr int PostgresLockTimeoutMs = 1000;

    // Makes the data source of driver usable (starts the cluster on first use).
    void Prepare(TestDriver driver);

    // Runs statements on the driver's DSN through a fresh test connection.
    void ExecSql(TestDriver driver, const std::vector<std::string>& statements);
    std::vector<std::vector<std::string>> QuerySql(TestDriver driver, const std::string& sql);

    // Stops and starts the private PostgreSQL cluster (lost-connection tests).
    void StopPostgres();
    void StartPostgres();
    int PostgresPort() const { return m_pgPort; }
    // The private cluster's server log (its error lines included).
    std::string PostgresLogFile() const { return m_pgFolder + "/server.log"; }

private:
    void WriteOdbcFiles();
    void InitPostgresData();
    void RunPgTool(const std::vector<std::string>& args, int timeoutMs);

    std::string m_folder;
    std::string m_sqliteFile;
    std::string m_pgBin;
    std::string m_pgFolder;
    int m_pgPort = 0;
    bool m_pgInitialised = false;
    bool m_pgRunning = false;
};
