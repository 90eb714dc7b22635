#include "app/ServerSnapshot.h"

#include "base/DeviceRegistry.h"

#include "data/Zel_ODBCSession.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"

const TClientSnapshot* TServerSnapshot::FindClient(uint64_t id) const {
    for (const TClientSnapshot& client : Clients)
        if (client.Id == id)
            return &client;
    return nullptr;
}

TClientSnapshot TakeClientSnapshot(const TZelWirelessClient& client) {
    TClientSnapshot shot;
    shot.Id = client.Id;
    shot.Title = client.GetTitle();
    shot.Address = client.GetAddress();
    shot.Description = client.Description;
    shot.UserName = client.PDAInfo.UserName;
    shot.SerialNumber = client.PDAInfo.SerialNumber;
    shot.Model = client.PDAInfo.Model;
    shot.OperatingSystem = client.PDAInfo.OperatingSystem;
    shot.Software = client.PDAInfo.Software;
    shot.SWVersion = client.PDAInfo.SWVersion;
    shot.MessagesOut = client.MessagesOut;
    shot.MessagesIn = client.MessagesIn;
    shot.BytesOut = client.BytesOut;
    shot.BytesIn = client.BytesIn;
    shot.ConnectTime = client.ConnectTime;
    shot.LastMessageTime = client.LastMessageTime;
    shot.SessionConnected = client.DatabaseConnected;
    shot.SessionNumber = client.PDASession.SessionNumber;
    shot.SessionName = client.PDASession.SessionName;
    shot.PluginName = client.PDASession.PluginName;
    shot.PluginVersion = client.PDASession.PluginVersion;
    if (client.Session) {
        shot.DSN = client.Session->DSN;
        shot.Tablename = client.Session->Tablename;
    }
    shot.WaitingForApproval = client.Server && client.Server->WaitingForApproval(client);
    return shot;
}

TServerSnapshot TakeServerSnapshot(const TZelWirelessServer& server, const std::string& statusText) {
    TServerSnapshot shot;
    shot.Exists = true;
    shot.Enabled = server.IsEnabled();
    shot.StatusText = statusText;
    shot.ServerName = server.ServerName;
    shot.DisabledMessage = server.DisabledMessage;
    shot.IPAddress = server.IPAddress;
    shot.Port = server.Port;
    shot.IniFilename = server.IniFilename;
    shot.StartTime = server.StartTime;
    shot.BytesSent = server.BytesSent;
    shot.BytesReceived = server.BytesReceived;
    // The generation first: a change between the two reads leaves it behind,
    // and the next copy (the server posts one for every change) catches up.
    shot.Devices = server.Devices;
    shot.DevicesGeneration = server.Devices ? server.Devices->Generation() : 0;
    shot.DevicesWaiting = server.DevicesWaiting();
    shot.Clients.reserve(server.Clients.size());
    for (const auto& client : server.Clients)
        if (client && client->Id != 0)
            shot.Clients.push_back(TakeClientSnapshot(*client));
    return shot;
}
