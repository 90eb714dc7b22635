#pragma once

#include <memory>
#include <string>

#include "base/WirelessPrefsMgr.h"
#include "support/OdbcTestEnv.h"

// The preferences of an in-process server under test: the configuration
// file folder/configName holding content (its log and device registry
// beside it), installed as g_PrefsMgr for the object's life.
class TTestPrefs {
public:
    TTestPrefs(const std::string& folder, const std::string& configName, const std::string& content);
    ~TTestPrefs();
    TTestPrefs(const TTestPrefs&) = delete;
    TTestPrefs& operator=(const TTestPrefs&) = delete;

    const std::string& ConfigFile() const { return m_prefs->IniFilename; }

private:
    std::unique_ptr<TZel_WirelessPrefsMgr> m_prefs;
};

// The table most server tests read and write, made afresh: Stock (ItemNo
// key, Descr, Qty) holding the one row A1, 'Bolts', 5.
void CreateStockTable(TestDriver driver);
// A session section that serves Stock with fields 1-3 ItemNo, Descr, Qty.
std::string StockSession(int number, const std::string& name, const std::string& dsn);
