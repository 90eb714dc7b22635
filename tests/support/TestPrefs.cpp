#include "support/TestPrefs.h"

#include "base/AppPaths.h"
#include "data/Zel_ODBCSession.h"
#include "support/Files.h"

TTestPrefs::TTestPrefs(const std::string& folder, const std::string& configName, const std::string& content) {
    TAppPaths paths;
    paths.ConfigFile = folder + "/" + configName;
    paths.DefaultLogFile = folder + "/ZelWirelessLog.txt";
    paths.DiagMarker = folder + "/diag.dll";
    WriteAll(paths.ConfigFile, content);
    m_prefs = std::make_unique<TZel_WirelessPrefsMgr>(paths);
    m_prefs->IniFilename = paths.ConfigFile;
    g_PrefsMgr = m_prefs.get();
}

TTestPrefs::~TTestPrefs() {
    g_PrefsMgr = nullptr;
}

void CreateStockTable(TestDriver driver) {
    OdbcTestEnv::Get().ExecSql(
        driver, {"DROP TABLE IF EXISTS Stock",
                 "CREATE TABLE Stock (ItemNo VARCHAR(20) PRIMARY KEY, Descr VARCHAR(40), Qty INTEGER)",
                 "INSERT INTO Stock VALUES ('A1', 'Bolts', 5)"});
}

std::string StockSession(int number, const std::string& name, const std::string& dsn) {
    return "[" + TZel_ODBCSession::SectionNameOf(number) + "]\nSessionName=" + name +
           "\nEnabled=1\nDSN=" + dsn +
           "\nTablename=Stock\nKeyFieldName=ItemNo\nField01=ItemNo\nField02=Descr\nField03=Qty\n";
}
