#include "base/DeviceRegistry.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ODBCSession.h"
#include "net/Zel_Socket.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"

// Which handhelds may use the server: networks are checked when a
// connection arrives, devices when they log in, select a session and make a
// request. The protocol stays as it is: a device that may not go on gets the
// answers every handheld already shows ("PCSSEL" "N", "PCERR").

namespace {

const char* const kWaiting = "this device is waiting for approval on the server";
const char* const kNotAllowed = "this device is not allowed on this server";
const char* const kReadOnly = "this device may only read on this server: nothing was changed";
constexpr qint64 kRefusalLogIntervalMs = 60 * 1000;

std::string Describe(const TZelWirelessClient& client) {
    const TZelPDAInfo& info = client.PDAInfo;
    std::string text = "Device [" + client.DeviceKey + "]";
    if (!info.SerialNumber.empty())
        text += " (" + info.UserName + ", " + info.Model + ")";
    return text;
}

} // namespace

bool TZelWirelessServer::RefuseOutsideNetworks(const TZel_Socket& connection) {
    if (Access.AllowedNetworks.Empty())
        return false;
    const std::string address = connection.PeerAddress();
    if (Access.AllowedNetworks.Contains(address))
        return false;
    // One line per address and minute: a scanner or a misconfigured
    // handheld retrying must not fill the log.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_refusedAddressLog.size() > 10000)
        std::erase_if(m_refusedAddressLog,
                      [now](const auto& entry) { return now - entry.second >= kRefusalLogIntervalMs; });
    auto [entry, added] = m_refusedAddressLog.emplace(address, now);
    if (added || now - entry->second >= kRefusalLogIntervalMs) {
        entry->second = now;
        LogError("Connection from " + address + " refused: not in AllowedNetworks (" +
                 Access.AllowedNetworks.Text() + ")");
    }
    return true;
}

void TZelWirelessServer::SetDeviceRegistry(std::shared_ptr<TDeviceRegistry> registry) {
    Devices = std::move(registry);
    m_devicesSeen = Devices ? Devices->Generation() : 0;
    if (Devices)
        m_deviceSweep.start(DeviceSweepMs);
    else
        m_deviceSweep.stop();
}

namespace {

// Reads decisions taken elsewhere; a registry that cannot be read keeps
// what was read last, and says so once.
void RefreshRegistry(TDeviceRegistry& registry, std::string& lastError) {
    try {
        registry.Refresh();
        lastError.clear();
    } catch (const std::exception& e) {
        const std::string error = ExceptionText(e);
        if (error != lastError)
            LogError(error);
        lastError = error;
    }
}

} // namespace

void TZelWirelessServer::AdmitDevice(TZelWirelessClient& client) {
    const TZelPDAInfo& info = client.PDAInfo;
    client.DeviceKey = DeviceKey(info.SerialNumber, info.UserName, info.Model);
    if (!Devices)
        return;
    RefreshRegistry(*Devices, m_registryError);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const std::string address = client.GetAddress();
    const std::optional<TDeviceRecord> known = Devices->Find(client.DeviceKey);

    TDeviceRecord seen;
    seen.Key = client.DeviceKey;
    seen.BySerial = !info.SerialNumber.empty();
    seen.Serial = info.SerialNumber;
    seen.UserName = info.UserName;
    seen.Model = info.Model;
    seen.OperatingSystem = info.OperatingSystem;
    seen.FirstSeen = seen.LastSeen = now;
    seen.LastAddress = address;

    // The policy decides only about devices without a decision of the
    // operator's: one allowed read-only or refused stays so from anywhere.
    std::optional<TDeviceRegistry::TPolicyDecision> decision;
    if (!known || known->State == TDeviceState::Waiting) {
        std::string why;
        // Without the section (an upgrade) every device is let in as before, and says why.
        if (!Access.Configured)
            why = "no [Access] section in the configuration file";
        else if (Access.TrustedNetworks.Contains(address))
            why = "trusted network";
        else if (Devices->AcceptingNew(now))
            why = "accepting new devices until " +
                  Devices->AcceptNewUntil().toLocalTime().toString(Qt::ISODate).toStdString();
        else if (Access.NewDevices == TAccessPolicy::TNewDevices::Allow)
            why = "NewDevices=allow";
        if (!why.empty())
            decision =
                TDeviceRegistry::TPolicyDecision{TDeviceState::Allowed, "allowed read-write (" + why + ")"};
    }
    Devices->NoteLogin(seen, decision);
    if (decision)
        LogInfo(Describe(client) + " from " + address + ": " + decision->What + ", by policy");
    else if (!known)
        LogInfo(Describe(client) + " from " + address + ": new device, waiting for approval");
    else if (known->State == TDeviceState::Waiting)
        LogInfo(Describe(client) + " from " + address + ": waiting for approval");
}

std::string TZelWirelessServer::SessionRefusal(TZelWirelessClient& client, int32_t sessionNumber) {
    if (!Devices || client.DeviceKey.empty())
        return {};
    RefreshRegistry(*Devices, m_registryError);
    std::optional<TDeviceRecord> record = Devices->Find(client.DeviceKey);
    if (!record) {
        // Forgotten since it logged in: a new device again.
        AdmitDevice(client);
        record = Devices->Find(client.DeviceKey);
        if (!record)
            return kWaiting;
    }
    switch (record->State) {
    case TDeviceState::Waiting:
        return kWaiting;
    case TDeviceState::Refused:
        return kNotAllowed;
    case TDeviceState::Allowed:
        break;
    }
    if (!record->MayUseSession(sessionNumber))
        return "this device may not use " + TZel_ODBCSession::SectionNameOf(sessionNumber) +
               " on this server";
    return {};
}

std::string TZelWirelessServer::RequestRefusal(TZelWirelessClient& client, bool writes) {
    if (!Devices || client.DeviceKey.empty())
        return {};
    RefreshRegistry(*Devices, m_registryError);
    const std::optional<TDeviceRecord> record = Devices->Find(client.DeviceKey);
    if (!record || record->State != TDeviceState::Allowed)
        return kNotAllowed;
    const int32_t session = client.Session ? client.Session->SessionNumber : client.PDASession.SessionNumber;
    if (!record->MayUseSession(session))
        return "this device may not use " + TZel_ODBCSession::SectionNameOf(session) + " on this server";
    if (writes && record->ReadOnly)
        return kReadOnly;
    return {};
}

void TZelWirelessServer::EnforceDeviceDecisions() {
    if (!Devices)
        return;
    RefreshRegistry(*Devices, m_registryError);
    const uint64_t generation = Devices->Generation();
    if (generation == m_devicesSeen)
        return;
    m_devicesSeen = generation;
    for (size_t i = 0; i < Clients.size(); ++i) {
        TZelWirelessClient* client = Clients[i].get();
        if (client->State == csClosed || client->State < csLoggedIn || client->DeviceKey.empty())
            continue;
        const std::optional<TDeviceState> state = Devices->StateOf(client->DeviceKey);
        if (state && *state != TDeviceState::Refused)
            continue;
        LogInfo(client->GetTitle() + ": " + Describe(*client) + (state ? " refused" : " forgotten") +
                ", connection closed");
        client->CloseConnection();
    }
    // The windows show the registry and the devices waiting, also when no
    // handheld is connected (a decision of the command line's).
    PostChange();
}

bool TZelWirelessServer::WaitingForApproval(const TZelWirelessClient& client) const {
    if (!Devices || client.DeviceKey.empty() || client.State == csClosed)
        return false;
    const std::optional<TDeviceState> state = Devices->StateOf(client.DeviceKey);
    return !state || *state == TDeviceState::Waiting;
}

int TZelWirelessServer::DevicesWaiting() const {
    return Devices ? Devices->WaitingCount() : 0;
}
