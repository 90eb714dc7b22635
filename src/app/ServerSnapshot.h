#pragma once

#include <QDateTime>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TDeviceRegistry;
class TZelWirelessServer;
class TZelWirelessClient;

// What the window shows of one handheld, copied on the server's thread.
struct TClientSnapshot {
    uint64_t Id = 0;
    std::string Title;
    std::string Address;
    std::string Description;
    std::string UserName;
    std::string SerialNumber;
    std::string Model;
    std::string OperatingSystem;
    std::string Software;
    std::string SWVersion;
    int64_t MessagesOut = 0;
    int64_t MessagesIn = 0;
    int64_t BytesOut = 0;
    int64_t BytesIn = 0;
    QDateTime ConnectTime;
    QDateTime LastMessageTime;
    bool SessionConnected = false;
    int SessionNumber = 0;
    std::string SessionName;
    std::string PluginName;
    std::string PluginVersion;
    std::string DSN;
    std::string Tablename;
    // Logged in, and its device waits for the operator's approval.
    bool WaitingForApproval = false;
};

// What the window shows of the server. The window never reads the server's
// own objects, which its thread changes and frees: it reads the latest copy.
struct TServerSnapshot {
    bool Exists = false; // false before the server is created and after it is freed
    uint64_t Serial = 0; // in the order taken, so that an older copy never replaces a newer one
    bool Enabled = false;
    std::string StatusText;
    std::string ServerName;
    std::string DisabledMessage;
    std::string IPAddress;
    int32_t Port = 0;
    std::string IniFilename;
    QDateTime StartTime;
    int32_t BytesSent = 0;
    int32_t BytesReceived = 0;
    std::vector<TClientSnapshot> Clients; // in accept order
    // Devices of the registry that wait for approval, connected or not.
    int DevicesWaiting = 0;
    // The server's device registry, for the window's workers to read and
    // change (it is safe on any thread; the window's own thread never waits
    // for it), and its generation when the copy was taken.
    std::shared_ptr<TDeviceRegistry> Devices;
    uint64_t DevicesGeneration = 0;

    // The listed client with this Id, or nullptr.
    const TClientSnapshot* FindClient(uint64_t id) const;
};

TClientSnapshot TakeClientSnapshot(const TZelWirelessClient& client);
// Run on the server's thread.
TServerSnapshot TakeServerSnapshot(const TZelWirelessServer& server, const std::string& statusText);
