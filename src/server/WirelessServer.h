#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QDateTime>
#include <QPointer>
#include <QTimer>

#include "base/AccessPolicy.h"
#include "base/EventLoopMailbox.h"
#include "base/ServerSettings.h"
#include "data/Zel_ConnectionPool.h"

class QObject;
class TDeviceRegistry;
class TZel_Socket;
class TZelWirelessClient;

// Posted to the owner whenever a client's visible data changed.
constexpr int WM_WIRELESS_CHANGE = 1029;

// The listening end and the registry of connected handhelds. A disabled
// server keeps listening: its clients answer every request with
// DisabledMessage and close. Beyond MaxClients open connections, new ones
// are closed at once.
class TZelWirelessServer : public TServerSettings {
public:
    using Notify = std::function<void(TZelWirelessServer* sender)>;

    // owner receives the WM_WIRELESS_CHANGE events; may be null.
    explicit TZelWirelessServer(QObject* owner);
    ~TZelWirelessServer() override;
    TZelWirelessServer(const TZelWirelessServer&) = delete;
    TZelWirelessServer& operator=(const TZelWirelessServer&) = delete;

    QPointer<QObject> OwnerWindow;
    // The database workers that run the clients' requests; it outlives every
    // client (declared before Clients).
    TZel_ConnectionPool ConnectionPool;
    std::unique_ptr<TZel_Socket> ListenSocket;
    // In accept order. Closed clients stay until the monitor, a re-enable or
    // the reconnect clean-up frees them.
    std::vector<std::unique_ptr<TZelWirelessClient>> Clients;
    bool Enabled = true;
    Notify OnStatusChange;
    Notify OnClientAddDrop;
    std::string IniFilename;
    // Port, IPAddress, ServerName and DisabledMessage come from TServerSettings.
    int32_t BytesSent = 0;     // wraps around
    int32_t BytesReceived = 0; // wraps around
    QDateTime StartTime;
    // A connection that has not greeted within this time is closed.
    int GreetingTimeoutMs = 30000;
    // Which devices and networks may use the server. Without a registry
    // every device that may connect is served as before.
    TAccessPolicy Access;
    std::shared_ptr<TDeviceRegistry> Devices;
    // How often the registry file is looked at for decisions taken elsewhere.
    int DeviceSweepMs = 1000;

    bool IsListening() const;
    bool IsEnabled() const;
    void SetEnabled(bool on);
    // "address:port", or every active interface with the port when the
    // address is empty or 0.0.0.0 (IPAddress then becomes the last of them).
    std::string ListenDescription();
    void AddTraffic(int32_t received, int32_t sent);
    void PostChange();
    // Frees every other client with the same non-empty serial number.
    void CleanupReconnected(TZelWirelessClient* client);
    // Moves a listening socket to IPAddress and Port at once when it listens
    // on others. When they cannot be listened on, both go back to the ones in
    // use, the server goes on listening there, and the reason is returned
    // (empty on success, and when nothing listens yet).
    std::string FollowListenSettings();

    // The listed client with this Id, or nullptr once it has been freed.
    TZelWirelessClient* FindClient(uint64_t id) const;
    // Removes the entry and frees its client.
    void FreeClient(size_t index);
    // Frees every client whose connection has ended (a verbose "Cleanup: "
    // line each), in one pass over the list; returns how many. What the
    // monitor's refresh and the headless host run.
    int RemoveClosedClients();
    // Hands a posted change to the owner (run by the change event).
    void DeliverChange();
    // Device access (DeviceAccess.cpp).
    // Takes the registry and starts watching it for decisions taken elsewhere.
    void SetDeviceRegistry(std::shared_ptr<TDeviceRegistry> registry);
    // Records a device that has just logged in and applies the policy to it.
    void AdmitDevice(TZelWirelessClient& client);
    // Empty when the client's device may select the session, else why not
    // (the text after "Session not selected: ").
    std::string SessionRefusal(TZelWirelessClient& client, int32_t sessionNumber);
    // Empty when the client's device may make this request now, else why not.
    std::string RequestRefusal(TZelWirelessClient& client, bool writes);
    // Closes the connections of devices refused or forgotten since they logged in.
    void EnforceDeviceDecisions();
    // Whether the device of a logged-in client still waits for approval.
    bool WaitingForApproval(const TZelWirelessClient& client) const;
    int DevicesWaiting() const;

    // Where database workers post the results of the clients' requests.
    TEventLoopMailbox::TPoster DatabaseReplyPoster() const { return m_databaseReplies->Poster(); }

private:
    void SetListening(bool on);
    std::unique_ptr<TZel_Socket> NewListenSocket(const std::string& address, int32_t port);
    void HandleAccept(TZel_Socket* listener, std::unique_ptr<TZel_Socket> connection);
    bool ListenSettingsChanged() const;
    size_t OpenClientCount() const;
    void CloseSilentClients();
    // Empty, or why the new address and port cannot be listened on.
    std::string ReplaceListenSocket();
    void ReportReplaceFailure(const std::string& failure);

    // Set while a change event is on its way, so that a burst of changes
    // costs the owner one event.
    bool m_changePending = false;
    // The last replacement listening socket's failure, reported once.
    std::string m_replaceError;
    // Connections are being refused for MaxClients; cleared by the next accepted one.
    bool m_refusing = false;
    // Runs while connections wait for their greeting.
    QTimer m_greetingSweep;
    std::unique_ptr<QObject> m_changeRelay;
    std::unique_ptr<TEventLoopMailbox> m_databaseReplies;
    uint64_t m_lastClientId = 0;
    // AllowedNetworks: refused addresses and when each was last logged.
    bool RefuseOutsideNetworks(const TZel_Socket& connection);
    std::map<std::string, qint64> m_refusedAddressLog;
    QTimer m_deviceSweep;
    uint64_t m_devicesSeen = 0;  // the registry's generation last enforced
    std::string m_registryError; // logged once
};
