#include "server/WirelessServer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>

#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ConnectionWorkers.h"
#include "data/Zel_ODBCSession.h"
#include "net/WinsockUtil.h"
#include "net/Zel_Socket.h"
#include "server/WirelessClient.h"

namespace {

constexpr int ZEL_KEY_LENGTH = 200;
constexpr int32_t WSAEADDRINUSE_CODE = 10048;

// Receives the posted change and hands it to the owner. The pending mark is
// cleared before the owner sees the change, so a change raised while the
// owner handles it posts the next event instead of being lost.
class TChangeRelay : public QObject {
public:
    explicit TChangeRelay(TZelWirelessServer* server) : m_server(server) {}

protected:
    bool event(QEvent* event) override {
        if (event->type() != static_cast<QEvent::Type>(WM_WIRELESS_CHANGE))
            return QObject::event(event);
        m_server->DeliverChange();
        return true;
    }

private:
    TZelWirelessServer* m_server;
};

std::string ListenFailure(const TZel_Socket& socket) {
    return socket.LastErrorText.empty() ? std::string("cannot listen") : socket.LastErrorText;
}

uint32_t Wrapped(int32_t value) {
    return static_cast<uint32_t>(value);
}

} // namespace

TZelWirelessServer::TZelWirelessServer(QObject* owner)
    : OwnerWindow(owner), StartTime(QDateTime::currentDateTime()),
      m_changeRelay(std::make_unique<TChangeRelay>(this)),
      m_databaseReplies(std::make_unique<TEventLoopMailbox>()) {
    QObject::connect(&m_greetingSweep, &QTimer::timeout, m_changeRelay.get(),
                     [this] { CloseSilentClients(); });
    QObject::connect(&m_deviceSweep, &QTimer::timeout, m_changeRelay.get(),
                     [this] { EnforceDeviceDecisions(); });
    ServerName = "Zel Wireless Server";
    // For its side effect: an empty address becomes the last active interface.
    ListenDescription();
    ListenSocket = NewListenSocket(IPAddress, Port);
}

TZelWirelessServer::~TZelWirelessServer() {
    // Statements still running get a bounded time to end, and the replies
    // of those that ended are sent before the clients go.
    ConnectionPool.StopWorkers(ZEL_EXIT_WAIT);
    m_databaseReplies->RunPosted();
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
            Clients[i]->SendDisabled();
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
            auto fresh = NewListenSocket(IPAddress, Port);
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

std::unique_ptr<TZel_Socket> TZelWirelessServer::NewListenSocket(const std::string& address, int32_t port) {
    auto socket = std::make_unique<TZel_Socket>();
    socket->Port = port;
    socket->Address = address;
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

// Clients whose connection is still open: closed ones may wait in the list
// for the monitor's refresh and take no resources of the handhelds.
size_t TZelWirelessServer::OpenClientCount() const {
    return static_cast<size_t>(std::count_if(Clients.begin(), Clients.end(),
                                             [](const auto& client) { return client->State != csClosed; }));
}

void TZelWirelessServer::HandleAccept(TZel_Socket* listener, std::unique_ptr<TZel_Socket> connection) {
    if (RefuseOutsideNetworks(*connection))
        return;
    if (MaxClients > 0 && OpenClientCount() >= static_cast<size_t>(MaxClients)) {
        // Refused without a word: the handheld has not spoken yet. One line
        // for a burst, however many it holds.
        if (!m_refusing)
            LogError("Connection from " + connection->PeerAddress() +
                     " refused: " + std::to_string(MaxClients) + " clients connected (MaxClients)");
        m_refusing = true;
        return;
    }
    m_refusing = false;
    auto client = std::make_unique<TZelWirelessClient>(this);
    client->AttachSocket(std::move(connection));
    client->Session->IniFile = g_PrefsMgr ? g_PrefsMgr->GetIniFile() : nullptr;
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
            ReportReplaceFailure(failure);
    }
    if (!m_greetingSweep.isActive())
        m_greetingSweep.start(std::clamp(GreetingTimeoutMs / 10, 10, 1000));
    if (OnClientAddDrop)
        OnClientAddDrop(this);
    // The list the windows show has changed too, before any byte arrives.
    PostChange();
}

// A peer that connects and says nothing would hold its place (and count
// against MaxClients) for as long as TCP keeps the connection up.
void TZelWirelessServer::CloseSilentClients() {
    const QDateTime now = QDateTime::currentDateTime();
    bool waiting = false;
    for (size_t i = 0; i < Clients.size(); ++i) {
        TZelWirelessClient* client = Clients[i].get();
        if (client->State != csConnected)
            continue;
        if (client->ConnectTime.msecsTo(now) < GreetingTimeoutMs) {
            waiting = true;
            continue;
        }
        LogInfo(client->GetTitle() + ": no greeting within " + std::to_string(GreetingTimeoutMs / 1000) +
                " s, connection closed");
        client->CloseConnection();
    }
    if (!waiting)
        m_greetingSweep.stop();
}

bool TZelWirelessServer::ListenSettingsChanged() const {
    return ListenSocket->Port != Port || ListenSocket->Address != IPAddress;
}

// The new socket listens before the old one closes, and what is already
// queued on the old one is accepted first, so no handheld is refused or
// reset. Only a new address on the same port cannot be bound beside the old
// socket: then the old one closes first, and listens again when the new one
// cannot. A replacement that cannot listen leaves the socket that served
// until now serving.
std::string TZelWirelessServer::ReplaceListenSocket() {
    auto fresh = NewListenSocket(IPAddress, Port);
    if (fresh->Listen()) {
        std::unique_ptr<TZel_Socket> old = std::move(ListenSocket);
        ListenSocket = std::move(fresh);
        m_replaceError.clear();
        old->AcceptPending();
        return {};
    }
    if (fresh->LastError == WSAEADDRINUSE_CODE && ListenSocket->Port == Port) {
        const std::string oldAddress = ListenSocket->Address;
        const int32_t oldPort = ListenSocket->Port;
        std::unique_ptr<TZel_Socket> old = std::move(ListenSocket);
        old->AcceptPending();
        old.reset();
        fresh = NewListenSocket(IPAddress, Port);
        if (fresh->Listen()) {
            ListenSocket = std::move(fresh);
            m_replaceError.clear();
            return {};
        }
        ListenSocket = NewListenSocket(oldAddress, oldPort);
        ListenSocket->Listen();
    }
    return ListenFailure(*fresh);
}

// Logged and reported once per failure, not again at every accept.
void TZelWirelessServer::ReportReplaceFailure(const std::string& failure) {
    const std::string error = "Error starting server: " + failure;
    if (error == m_replaceError && IsListening())
        return;
    m_replaceError = error;
    LogError(error);
    if (OnStatusChange)
        OnStatusChange(this);
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
    return failure;
}

std::string TZelWirelessServer::ListenDescription() {
    // What is served: the listening socket's address and port, which differ
    // from the settings while a change waits for the next connection or
    // could not be put into effect.
    const bool listening = ListenSocket && ListenSocket->State == TSocketState::Listening;
    const std::string address = listening ? ListenSocket->Address : IPAddress;
    const int32_t port = listening ? ListenSocket->Port : Port;
    if (!address.empty() && address != "0.0.0.0")
        return address + ":" + std::to_string(port);
    std::vector<std::string> interfaces;
    if (!GetNonLoopbackInterfaces(&interfaces))
        return {};
    // "0.0.0.0" is kept: taking the last interface for it would make the next
    // listening socket drop every other interface, loopback included, and the
    // next save would store that one address over the operator's choice. An
    // empty address still takes the last interface.
    const bool everyInterface = address == "0.0.0.0";
    std::string text;
    for (const std::string& name : interfaces) {
        if (!text.empty())
            text += ", ";
        if (!everyInterface)
            IPAddress = name;
        text += name + ":" + std::to_string(port);
    }
    return text;
}

void TZelWirelessServer::AddTraffic(int32_t received, int32_t sent) {
    BytesReceived = static_cast<int32_t>(Wrapped(BytesReceived) + Wrapped(received));
    BytesSent = static_cast<int32_t>(Wrapped(BytesSent) + Wrapped(sent));
}

void TZelWirelessServer::PostChange() {
    if (!OwnerWindow || m_changePending)
        return;
    m_changePending = true;
    QCoreApplication::postEvent(m_changeRelay.get(),
                                new QEvent(static_cast<QEvent::Type>(WM_WIRELESS_CHANGE)));
}

void TZelWirelessServer::DeliverChange() {
    m_changePending = false;
    if (!OwnerWindow)
        return;
    QEvent change(static_cast<QEvent::Type>(WM_WIRELESS_CHANGE));
    QCoreApplication::sendEvent(OwnerWindow, &change);
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

// One pass: the open clients keep their order, the closed ones are freed
// once the list no longer holds them.
int TZelWirelessServer::RemoveClosedClients() {
    std::vector<std::unique_ptr<TZelWirelessClient>> doomed;
    auto kept = Clients.begin();
    for (auto& client : Clients) {
        if (client->State != csClosed) {
            if (&*kept != &client)
                *kept = std::move(client);
            ++kept;
            continue;
        }
        if (GetVerbose())
            LogVerbose("Cleanup: " + client->GetTitle());
        doomed.push_back(std::move(client));
    }
    Clients.erase(kept, Clients.end());
    const int removed = static_cast<int>(doomed.size());
    doomed.clear();
    return removed;
}
