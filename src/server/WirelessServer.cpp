#include "server/WirelessServer.h"

#include <QCoreApplication>
#include <QEvent>

#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ODBCSession.h"
#include "net/WinsockUtil.h"
#include "net/Zel_Socket.h"
#include "server/WirelessClient.h"

namespace {

constexpr int ZEL_KEY_LENGTH = 200;
constexpr int32_t WSAEADDRINUSE_CODE = 10048;

// The change event clears the pending mark when Qt has delivered (or
// discarded) it, so the next change posts a new one.
class TWirelessChangeEvent : public QEvent {
public:
    explicit TWirelessChangeEvent(std::shared_ptr<bool> pending)
        : QEvent(static_cast<QEvent::Type>(WM_WIRELESS_CHANGE)), m_pending(std::move(pending)) {}
    ~TWirelessChangeEvent() override { *m_pending = false; }

private:
    std::shared_ptr<bool> m_pending;
};

std::string ListenFailure(const TZel_Socket& socket) {
    return socket.LastErrorText.empty() ? std::string("cannot listen") : socket.LastErrorText;
}

uint32_t Wrapped(int32_t value) {
    return static_cast<uint32_t>(value);
}

} // namespace

TZelWirelessServer::TZelWirelessServer(QObject* owner)
    : OwnerWindow(owner), StartTime(QDateTime::currentDateTime()) {
    ServerName = "Zel Wireless Server";
    // For its side effect: an empty address becomes the last active interface.
    ListenDescription();
    ListenSocket = NewListenSocket();
}

TZelWirelessServer::~TZelWirelessServer() {
    for (auto& client : Clients) {
        client->OnChange = nullptr;
        client->OnTransfer = nullptr;
    }
    Clients.clear();
    ListenSocket.reset();
}

bool TZelWirelessServer::IsListening() const {
    return ListenSocket &&
           (ListenSocket->State == TSocketState::Listening || ListenSocket->State == TSocketState::Connected);
}

bool TZelWirelessServer::IsEnabled() const {
    return IsListening() && Enabled;
}

void TZelWirelessServer::SetEnabled(bool on) {
    if (on == IsEnabled())
        return;
    if (on) {
        SetListening(false);
        SetListening(true);
        if (IsListening())
            Enabled = true;
    } else {
        Enabled = false;
        for (size_t i = 0; i < Clients.size(); ++i)
            if (Clients[i]->State < csClosed)
                Clients[i]->SendError(DisabledMessage, "Server shutdown");
    }
    if (OnStatusChange)
        OnStatusChange(this);
}

// On: listen on the current address and port. Off: free every client; the
// listening socket stays open.
void TZelWirelessServer::SetListening(bool on) {
    if (on == IsListening())
        return;
    if (on) {
        try {
            auto fresh = NewListenSocket();
            fresh->Listen();
            ListenSocket = std::move(fresh);
            if (!IsListening())
                LogError("Error starting server: " + ListenSocket->LastErrorText);
        } catch (const std::exception& e) {
            LogError("Error starting server: " + ExceptionClassName(e) + ": " + e.what());
        }
        return;
    }
    // Moved out first, so that nothing reached from a client's destruction
    // sees a half-emptied list.
    std::vector<std::unique_ptr<TZelWirelessClient>> doomed;
    doomed.swap(Clients);
    for (auto& client : doomed)
        client.reset();
}

std::unique_ptr<TZel_Socket> TZelWirelessServer::NewListenSocket() {
    auto socket = std::make_unique<TZel_Socket>();
    socket->Port = Port;
    socket->Address = IPAddress;
    socket->OnAccept = [this](TZel_Socket* listener, std::unique_ptr<TZel_Socket> connection) {
        HandleAccept(listener, std::move(connection));
    };
    // Level 0 is a failed accept; the rest is detail.
    socket->OnLog = [](int level, const std::string& text) {
        if (level == 0)
            LogError(text);
        else if (GetVerbose())
            LogVerbose(text);
    };
    socket->SetTransport(TSocketTransport::TCP);
    return socket;
}

void TZelWirelessServer::HandleAccept(TZel_Socket* listener, std::unique_ptr<TZel_Socket> connection) {
    auto client = std::make_unique<TZelWirelessClient>(this);
    client->AttachSocket(std::move(connection));
    client->Session->IniFile = g_PrefsMgr ? g_PrefsMgr->GetIniFile() : nullptr;
    client->Session->ConnectionPool = &ConnectionPool;
    client->OnChange = [this](TZelWirelessClient*) { PostChange(); };
    client->OnTransfer = [this](TZelWirelessClient*, int32_t received, int32_t sent) {
        AddTraffic(received, sent);
    };
    client->Encoder.SetKeyLength(ZEL_KEY_LENGTH);
    client->Encoder.GenerateKey();
    client->Encoder.SetEnabled(false);
    if (GetVerbose())
        LogVerbose("Encoding Key: " + client->Encoder.Describe());
    client->Id = ++m_lastClientId;
    TZelWirelessClient* added = client.get();
    Clients.push_back(std::move(client));
    LogInfo("Connect from " + added->GetTitle());
    // A changed address or port takes effect with the next accepted connection.
    if (listener == ListenSocket.get() && ListenSettingsChanged()) {
        const std::string failure = ReplaceListenSocket();
        if (!failure.empty())
            LogError("Error starting server: " + failure);
    }
    if (OnClientAddDrop)
        OnClientAddDrop(this);
    // The list the windows show has changed too, before any byte arrives.
    PostChange();
}

bool TZelWirelessServer::ListenSettingsChanged() const {
    return ListenSocket->Port != Port || ListenSocket->Address != IPAddress;
}

// The new socket listens before the old one closes, and what is already
// queued on the old one is accepted first, so no handheld is refused or
// reset. Only a new address on the same port cannot be bound beside the old
// socket: then the old one closes first. A replacement that cannot listen
// leaves the old one serving.
std::string TZelWirelessServer::ReplaceListenSocket() {
    auto fresh = NewListenSocket();
    if (!fresh->Listen()) {
        const bool samePort = fresh->LastError == WSAEADDRINUSE_CODE && ListenSocket->Port == Port;
        if (!samePort)
            return ListenFailure(*fresh);
        std::unique_ptr<TZel_Socket> old = std::move(ListenSocket);
        old->AcceptPending();
        old.reset();
        fresh = NewListenSocket();
        const bool listening = fresh->Listen();
        ListenSocket = std::move(fresh);
        return listening ? std::string() : ListenFailure(*ListenSocket);
    }
    std::unique_ptr<TZel_Socket> old = std::move(ListenSocket);
    ListenSocket = std::move(fresh);
    old->AcceptPending();
    return {};
}

std::string TZelWirelessServer::FollowListenSettings() {
    if (!IsListening() || !ListenSettingsChanged())
        return {};
    const int32_t usedPort = ListenSocket->Port;
    const std::string usedAddress = ListenSocket->Address;
    const std::string failure = ReplaceListenSocket();
    if (failure.empty())
        return {};
    Port = usedPort;
    IPAddress = usedAddress;
    if (!IsListening()) {
        // The old socket was closed to free its port for the new address.
        auto again = NewListenSocket();
        again->Listen();
        ListenSocket = std::move(again);
    }
    return failure;
}

std::string TZelWirelessServer::ListenDescription() {
    if (!IPAddress.empty() && IPAddress != "0.0.0.0")
        return IPAddress + ":" + std::to_string(Port);
    std::vector<std::string> interfaces;
    if (!GetNonLoopbackInterfaces(&interfaces))
        return {};
    // "0.0.0.0" is kept: taking the last interface for it would make the next
    // listening socket drop every other interface, loopback included, and the
    // next save would store that one address over the operator's choice. An
    // empty address still takes the last interface.
    const bool everyInterface = IPAddress == "0.0.0.0";
    std::string text;
    for (const std::string& address : interfaces) {
        if (!text.empty())
            text += ", ";
        if (!everyInterface)
            IPAddress = address;
        text += address + ":" + std::to_string(Port);
    }
    return text;
}

void TZelWirelessServer::AddTraffic(int32_t received, int32_t sent) {
    BytesReceived = static_cast<int32_t>(Wrapped(BytesReceived) + Wrapped(received));
    BytesSent = static_cast<int32_t>(Wrapped(BytesSent) + Wrapped(sent));
}

void TZelWirelessServer::PostChange() {
    if (!OwnerWindow || *m_changePending)
        return;
    *m_changePending = true;
    QCoreApplication::postEvent(OwnerWindow, new TWirelessChangeEvent(m_changePending));
}

void TZelWirelessServer::CleanupReconnected(TZelWirelessClient* client) {
    const std::string serial = client->PDAInfo.SerialNumber;
    if (serial.empty())
        return;
    for (size_t i = 0; i < Clients.size();) {
        TZelWirelessClient* other = Clients[i].get();
        if (other == client || other->PDAInfo.SerialNumber != serial) {
            ++i;
            continue;
        }
        if (GetVerbose())
            LogVerbose("Clean up from reconnected client " + other->GetTitle());
        other->CloseConnection();
        FreeClient(i);
    }
}

TZelWirelessClient* TZelWirelessServer::FindClient(uint64_t id) const {
    if (id == 0)
        return nullptr;
    for (const auto& client : Clients)
        if (client && client->Id == id)
            return client.get();
    return nullptr;
}

void TZelWirelessServer::FreeClient(size_t index) {
    if (index >= Clients.size())
        return;
    std::unique_ptr<TZelWirelessClient> client = std::move(Clients[index]);
    Clients.erase(Clients.begin() + static_cast<std::ptrdiff_t>(index));
    client.reset();
}

int TZelWirelessServer::RemoveClosedClients() {
    int removed = 0;
    for (size_t i = 0; i < Clients.size();) {
        if (Clients[i]->State == csClosed) {
            FreeClient(i);
            ++removed;
        } else {
            ++i;
        }
    }
    return removed;
}
