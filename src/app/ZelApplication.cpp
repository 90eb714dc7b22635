#include "app/ZelApplication.h"

#include <QFileInfo>
#include <cstdio>

#include "base/AccessPolicy.h"
#include "base/DeviceRegistry.h"
#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_Lib.h"
#include "data/SessionDefinition.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"

namespace {

constexpr int kFirstSession = 1;
constexpr int kLastSession = 32;
const char* const kNotFound = "ZEL_NOTFOUND";

std::string Formatted(const char* format, int number) {
    char text[32];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

} // namespace

TZelApplication::TZelApplication(QObject* owner, TZel_WirelessPrefsMgr* prefs)
    : m_owner(owner), m_prefs(prefs) {}

TZelApplication::~TZelApplication() {
    // The server's exit writes the lines of the last replies: through the
    // sink, so before it goes.
    ReleaseServer();
    // The sink may refer to what its installer owns; nothing logs through it afterwards.
    if (m_sinkInstalled)
        GetLogger()->SetSinks(nullptr, nullptr);
}

void TZelApplication::ReleaseServer() {
    if (m_prefs && m_prefs->Server == m_server.get())
        m_prefs->Server = nullptr;
    m_server.reset();
}

void TZelApplication::Create(TZelLogger::Sink logSink) {
    const std::string iniFilename = m_prefs ? m_prefs->Paths().ConfigFile : std::string();
    m_server = std::make_unique<TZelWirelessServer>(m_owner);
    m_server->IniFilename = iniFilename;
    if (!m_prefs)
        throw Exception("TfrmMain.FormCreate: g_PrefsMgr is not assigned, cannot continue");
    m_prefs->IniFilename = iniFilename;
    m_prefs->Server = m_server.get();
    m_prefs->ReadSettings();
    GetLogger()->SetSinks(logSink, logSink);
    m_sinkInstalled = true;
    ApplyAccessPolicy();
    m_server->SetDeviceRegistry(std::make_shared<TDeviceRegistry>(TDeviceRegistry::FileNameFor(iniFilename)));
    m_server->OnStatusChange = [this](TZelWirelessServer*) { DoWirelessStatusChange(); };
    m_server->OnClientAddDrop = [this](TZelWirelessServer*) {
        if (OnClientAddDrop)
            OnClientAddDrop();
    };
    UpgradeIniFile();
}

void TZelApplication::ApplyAccessPolicy() {
    // A policy that cannot be read must not open the server to everyone.
    try {
        m_server->Access = TAccessPolicy::Read(TIniFile(m_prefs->IniFilename));
    } catch (const std::exception& e) {
        throw Exception("Configuration file [" + m_prefs->IniFilename + "]: " + ExceptionText(e));
    }
    const TAccessPolicy& access = m_server->Access;
    if (!access.Configured)
        LogInfo("Device access: no [Access] section, new devices are allowed and logged");
    else
        LogInfo(std::string("Device access: NewDevices=") + NewDevicesText(access.NewDevices) +
                ", TrustedNetworks=" + access.TrustedNetworks.Text() + ", AllowedNetworks=" +
                (access.AllowedNetworks.Empty() ? "any" : access.AllowedNetworks.Text()));
}

std::shared_ptr<TDeviceRegistry> TZelApplication::Devices() const {
    return m_server ? m_server->Devices : nullptr;
}

void TZelApplication::EnableServer() {
    m_server->SetEnabled(true);
}

void TZelApplication::DoWirelessStatusChange() {
    m_statusText = m_server->IsEnabled() ? "Server enabled on " + m_server->ListenDescription()
                                         : std::string("Server disabled");
    LogInfo(m_statusText);
    if (OnStatusChange)
        OnStatusChange();
}

void TZelApplication::DisconnectAll() {
    for (size_t i = 0; i < m_server->Clients.size(); ++i)
        if (m_server->Clients[i])
            m_server->Clients[i]->CloseConnection();
}

void TZelApplication::restartServer() {
    DisconnectAll();
    if (m_server->IsEnabled())
        m_server->SetEnabled(false);
    m_server->SetEnabled(true);
}

void TZelApplication::CleanupClosedClients() {
    m_server->RemoveClosedClients();
}

void TZelApplication::Terminate() {
    if (m_prefs)
        m_prefs->WriteSettings();
}

void TZelApplication::UpgradeIniFile() {
    // The file in use: beside a read-only executable (a service) the fixed
    // name next to it could not be written, and upgrading another file than
    // the one the sessions are read from would leave the old keys in place.
    // A file that cannot be upgraded is no reason not to serve: the failure
    // is logged and start-up goes on.
    try {
        TIniFile ini(m_prefs->IniFilename);
        const std::string stored = ini.ReadString("Version", "Version", "");
        if (stored.empty())
            MigrateFieldKeys(ini);
        ini.WriteString("Version", "Version", GetVersionInfoString("FileVersion"));
    } catch (const std::exception& e) {
        LogError("Failed upgrading .ini file [" + m_prefs->IniFilename + "]: " + ExceptionClassName(e) +
                 ": " + e.what());
    }
}

void TZelApplication::MigrateFieldKeys(TIniFile& ini) {
    for (int session = kFirstSession; session <= kLastSession; ++session) {
        const std::string section = Formatted("Session%.2d", session);
        for (int i = 1; i <= 9; ++i) {
            const std::string oldKey = Formatted("Field%d", i);
            const std::string value = ini.ReadString(section, oldKey, kNotFound);
            if (value != kNotFound)
                ini.WriteString(section, TSessionDefinition::DeviceFieldKey(i), value);
            ini.DeleteKey(section, oldKey);
        }
    }
}
