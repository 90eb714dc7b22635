#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "base/AppPaths.h"
#include "base/Zel_EventLogger.h"

class TDeviceRegistry;
class TIniFile;
class TZel_WirelessPrefsMgr;
class TZelWirelessServer;

// The program's non-visual life: puts the server, the preferences, the log
// sink and the server's notifications together, upgrades an old
// configuration file, switches the server on, restarts it and runs the exit
// steps. The main window drives it; headless mode drives it alone.
class TZelApplication {
public:
    // owner: receives WM_WIRELESS_CHANGE events; prefs: the program's g_PrefsMgr.
    TZelApplication(QObject* owner, TZel_WirelessPrefsMgr* prefs);
    ~TZelApplication();
    TZelApplication(const TZelApplication&) = delete;
    TZelApplication& operator=(const TZelApplication&) = delete;

    // Creation steps: server, settings, log sink, notifications, upgrade.
    // Raises on the first failing step; the steps after it do not run.
    void Create(TZelLogger::Sink logSink);
    // The start-up timer's step: switch the server on.
    void EnableServer();
    // Drops every handheld; they must connect and select their session again.
    void restartServer();
    // Closes every connection; the clients stay listed until cleaned up.
    void DisconnectAll();
    // Frees the clients whose connection has ended (what the monitor's refresh does).
    void CleanupClosedClients();
    // Exit: writes the settings.
    void Terminate();
    // Frees the server (its last replies' lines go through the log sink), so
    // that an owner can do it while what its sink uses is still there.
    void ReleaseServer();

    // Reads [Access] of the configuration file into the server; raises for a
    // bad value (the server keeps the policy it had).
    void ApplyAccessPolicy();

    void UpgradeIniFile();
    // Renames the one-digit field keys Field1..Field9 of sessions 1..32 to Field01..Field09.
    static void MigrateFieldKeys(TIniFile& ini);

    TZelWirelessServer* Server() const { return m_server.get(); }
    // The server's device registry (safe to use from any thread), or null before Create.
    std::shared_ptr<TDeviceRegistry> Devices() const;

    // Status text of the last enable or disable, as the operator sees it.
    std::string StatusText() const { return m_statusText; }
    // Called after every status change of the server (after it has been logged).
    std::function<void()> OnStatusChange;
    std::function<void()> OnClientAddDrop;

private:
    void DoWirelessStatusChange();

    QObject* m_owner;
    TZel_WirelessPrefsMgr* m_prefs;
    std::unique_ptr<TZelWirelessServer> m_server;
    std::string m_statusText;
    bool m_sinkInstalled = false;
};
