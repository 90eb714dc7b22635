#include "support/OdbcTestEnv.h"

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

OdbcTestEnv* g_env = nullptr;

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string text;
    SQLCHAR state[6];
    SQLCHAR message[1024];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1;
         SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length) == SQL_SUCCESS; ++i)
        text += std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message) + "\n";
    return text;
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const std::string& what) {
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        throw std::runtime_error("test ODBC: " + what + ": " + Diagnostics(type, handle));
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("test env: no free port");
    int port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// Runs a program with its output appended to logFile; kills it after timeoutMs.
int RunProgram(const std::vector<std::string>& args, const std::string& logFile, int timeoutMs) {
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("test env: fork failed");
    if (pid == 0) {
        int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string FindPgBin() {
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion && fs::exists(entry.path() / "bin" / "initdb")) {
            bestVersion = version;
            best = (entry.path() / "bin").string();
        }
    }
    return best;
}

bool IsRoot() {
    return ::geteuid() == 0;
}

void ChownToPostgres(const std::string& path) {
    if (!IsRoot())
        return;
    passwd* pw = ::getpwnam("postgres");
    if (!pw || ::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        throw std::runtime_error("test env: cannot give " + path + " to the postgres user");
}

} // namespace

std::string TestDriverName(TestDriver driver) {
    return driver == TestDriver::SQLite ? "SQLite" : "PostgreSQL";
}

// ---------------------------------------------------------------------------

struct OdbcTestConnection::Handles {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
};

OdbcTestConnection::OdbcTestConnection(const std::string& dsn) : m_h(std::make_unique<Handles>()) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_h->env);
    SQLSetEnvAttr(m_h->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, m_h->env, &m_h->dbc);
    SQLRETURN rc = SQLConnect(m_h->dbc, reinterpret_cast<SQLCHAR*>(const_cast<char*>(dsn.c_str())), SQL_NTS,
                              nullptr, 0, nullptr, 0);
    if (!SQL_SUCCEEDED(rc)) {
        std::string text = Diagnostics(SQL_HANDLE_DBC, m_h->dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, m_h->dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, m_h->env);
        throw std::runtime_error("test ODBC: connect " + dsn + ": " + text);
    }
}

OdbcTestConnection::~OdbcTestConnection() {
    SQLEndTran(SQL_HANDLE_DBC, m_h->dbc, SQL_ROLLBACK);
    SQLDisconnect(m_h->dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_h->dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, m_h->env);
}

void OdbcTestConnection::Exec(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, m_h->dbc, &stmt);
    SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
    std::string text =
        SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA ? std::string() : Diagnostics(SQL_HANDLE_STMT, stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (!text.empty())
        throw std::runtime_error("test ODBC: " + sql + ": " + text);
}

std::vector<std::vector<std::string>> OdbcTestConnection::Query(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, m_h->dbc, &stmt);
    std::vector<std::vector<std::string>> rows;
    try {
        Check(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
              SQL_HANDLE_STMT, stmt, sql);
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        while (true) {
            SQLRETURN rc = SQLFetch(stmt);
            if (rc == SQL_NO_DATA)
                break;
            Check(rc, SQL_HANDLE_STMT, stmt, sql);
            std::vector<std::string>& row = rows.emplace_back();
            for (SQLUSMALLINT c = 1; c <= columns; ++c) {
                char buffer[4096];
                SQLLEN indicator = 0;
                Check(SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator), SQL_HANDLE_STMT,
                      stmt, sql);
                row.push_back(indicator == SQL_NULL_DATA ? std::string("<null>") : std::string(buffer));
            }
        }
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        throw;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return rows;
}

std::string OdbcTestConnection::Scalar(const std::string& sql) {
    auto rows = Query(sql);
    if (rows.empty() || rows[0].empty())
        throw std::runtime_error("test ODBC: no value from " + sql);
    return rows[0][0];
}

void OdbcTestConnection::SetAutocommit(bool on) {
    Check(SQLSetConnectAttr(m_h->dbc, SQL_ATTR_AUTOCOMMIT,
                            reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0),
          SQL_HANDLE_DBC, m_h->dbc, "autocommit");
}

void OdbcTestConnection::Commit() {
    Check(SQLEndTran(SQL_HANDLE_DBC, m_h->dbc, SQL_COMMIT), SQL_HANDLE_DBC, m_h->dbc, "commit");
}

void OdbcTestConnection::Rollback() {
    Check(SQLEndTran(SQL_HANDLE_DBC, m_h->dbc, SQL_ROLLBACK), SQL_HANDLE_DBC, m_h->dbc, "rollback");
}

// ---------------------------------------------------------------------------

OdbcTestEnv* OdbcTestEnv::Register() {
    if (!g_env)
        g_env = static_cast<OdbcTestEnv*>(::testing::AddGlobalTestEnvironment(new OdbcTestEnv));
    return g_env;
}

OdbcTestEnv& OdbcTestEnv::Get() {
    if (!g_env)
        throw std::runtime_error("OdbcTestEnv::Register was not called in this test program");
    return *g_env;
}

std::string OdbcTestEnv::DsnName(TestDriver driver) {
    return driver == TestDriver::SQLite ? "ZelTestSQLite" : "ZelTestPG";
}

void OdbcTestEnv::SetUp() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zel-odbc-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("test env: cannot create a temporary folder");
    m_folder = pattern;
    // The postgres user must be able to reach its own folder inside.
    fs::permissions(m_folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    m_sqliteFile = m_folder + "/sqlite.db";
    m_pgFolder = m_folder + "/pg";
    m_pgBin = FindPgBin();
    m_pgPort = FreePort();
    WriteOdbcFiles();
}

void OdbcTestEnv::WriteOdbcFiles() {
    // The driver list is the system's; data sources are only ours. Both are
    // set before the first ODBC call, which is when unixODBC reads them.
    const char* sysIni = std::getenv("ODBCSYSINI");
    std::string drivers = ReadFile(std::string(sysIni && *sysIni ? sysIni : "/etc") + "/odbcinst.ini");
    std::ofstream(m_folder + "/odbcinst.ini") << drivers;
    std::ofstream(m_folder + "/odbc.ini") << "[" << DsnName(TestDriver::SQLite) << "]\n"
                                          << "Driver=SQLite3\n"
                                          << "Database=" << m_sqliteFile << "\n"
                                          << "Timeout=" << SqliteTimeoutMs << "\n\n"
                                          << "[" << DsnName(TestDriver::PostgreSQL) << "]\n"
                                          << "Driver=PostgreSQL Unicode\n"
                                          << "Servername=127.0.0.1\n"
                                          << "Port=" << m_pgPort << "\n"
                                          << "Database=postgres\n"
                                          << "Username=zel\n"
                                          << "CommLog=0\n"
                                          << "Debug=0\n";
    ::setenv("ODBCSYSINI", m_folder.c_str(), 1);
    ::setenv("ODBCINI", (m_folder + "/odbc.ini").c_str(), 1);
    ::unsetenv("ODBCINSTINI");
}

void OdbcTestEnv::RunPgTool(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv;
    if (IsRoot())
        argv = {"runuser", "-u", "postgres", "--"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string logFile = m_folder + "/pg-tools.log";
    if (RunProgram(argv, logFile, timeoutMs) != 0)
        throw std::runtime_error("test env: " + args[0] + " failed:\n" + ReadFile(logFile));
}

// initdb takes seconds, so one cluster is made per build folder and copied
// for each test program; a lock keeps parallel test programs from racing.
void OdbcTestEnv::InitPostgresData() {
    if (m_pgBin.empty())
        throw std::runtime_error("test env: no PostgreSQL server under /usr/lib/postgresql");
    fs::create_directory(m_pgFolder);
    fs::permissions(m_pgFolder, fs::perms::owner_all);
    ChownToPostgres(m_pgFolder);

    std::string templateDir = std::string(ZEL_BINARY_DIR) + "/pg-template";
    int lock = ::open((templateDir + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (lock >= 0)
        ::flock(lock, LOCK_EX);
    try {
        if (lock >= 0 && !fs::exists(templateDir + "/PG_VERSION")) {
            std::string fresh = m_pgFolder + "/template";
            RunPgTool(
                {m_pgBin + "/initdb", "-A", "trust", "-U", "zel", "-E", "UTF8", "--no-sync", "-D", fresh},
                120000);
            fs::remove_all(templateDir + ".tmp");
            if (RunProgram({"cp", "-a", fresh, templateDir + ".tmp"}, m_folder + "/cp.log", 60000) != 0)
                throw std::runtime_error("test env: cannot copy the PostgreSQL template");
            fs::rename(templateDir + ".tmp", templateDir);
            fs::rename(fresh, m_pgFolder + "/data");
        } else if (lock >= 0) {
            if (RunProgram({"cp", "-a", templateDir, m_pgFolder + "/data"}, m_folder + "/cp.log", 60000) != 0)
                throw std::runtime_error("test env: cannot copy the PostgreSQL template");
        } else {
            RunPgTool({m_pgBin + "/initdb", "-A", "trust", "-U", "zel", "-E", "UTF8", "--no-sync", "-D",
                       m_pgFolder + "/data"},
                      120000);
        }
    } catch (...) {
        if (lock >= 0)
            ::close(lock);
        throw;
    }
    if (lock >= 0)
        ::close(lock);
    ChownToPostgres(m_pgFolder + "/data");
    m_pgInitialised = true;
}

void OdbcTestEnv::StartPostgres() {
    if (!m_pgInitialised)
        InitPostgresData();
    if (m_pgRunning)
        return;
    RunPgTool({m_pgBin + "/pg_ctl", "-D", m_pgFolder + "/data", "-l", m_pgFolder + "/server.log", "-w", "-t",
               "60", "-o",
               "-p " + std::to_string(m_pgPort) + " -k " + m_pgFolder +
                   " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off",
               "start"},
              90000);
    m_pgRunning = true;
    OdbcTestConnection(DsnName(TestDriver::PostgreSQL))
        .Exec("ALTER DATABASE postgres SET lock_timeout = '" + std::to_string(PostgresLockTimeoutMs) + "ms'");
}

void OdbcTestEnv::StopPostgres() {
    if (!m_pgRunning)
        return;
    RunPgTool({m_pgBin + "/pg_ctl", "-D", m_pgFolder + "/data", "-m", "fast", "-w", "-t", "60", "stop"},
              90000);
    m_pgRunning = false;
}

void OdbcTestEnv::Prepare(TestDriver driver) {
    if (driver == TestDriver::PostgreSQL && !m_pgRunning)
        StartPostgres();
}

void OdbcTestEnv::ExecSql(TestDriver driver, const std::vector<std::string>& statements) {
    Prepare(driver);
    OdbcTestConnection connection(DsnName(driver));
    for (const auto& sql : statements)
        connection.Exec(sql);
}

std::vector<std::vector<std::string>> OdbcTestEnv::QuerySql(TestDriver driver, const std::string& sql) {
    Prepare(driver);
    return OdbcTestConnection(DsnName(driver)).Query(sql);
}

void OdbcTestEnv::TearDown() {
    try {
        StopPostgres();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    std::error_code ec;
    if (!m_folder.empty())
        fs::remove_all(m_folder, ec);
}
