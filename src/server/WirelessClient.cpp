#include "server/WirelessClient.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "base/Exception.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ConnectionWorkers.h"
#include "data/Zel_ODBCSession.h"
#include "net/Zel_Socket.h"
#include "server/WirelessServer.h"

namespace {

struct TDispatchEntry {
    const char* MessageType;
    void (TZelWirelessClient::*Handler)();
};

// Message types are compared exactly and case-sensitively.
const TDispatchEntry DISPATCH[] = {
    {"PDAHELO", &TZelWirelessClient::HandleHello},    {"PDABYE", &TZelWirelessClient::HandleBye},
    {"PDALOGIN", &TZelWirelessClient::HandleLogin},   {"PDASSEL", &TZelWirelessClient::HandleSessionSelect},
    {"PDASELECT", &TZelWirelessClient::HandleSelect}, {"PDACOUNT", &TZelWirelessClient::HandleCount},
    {"PDAPOST", &TZelWirelessClient::HandlePost},     {"PDADELETE", &TZelWirelessClient::HandleDelete},
};

// "Invalid data packet received during <step> [<actual>] should be [<expected>]"
Exception InvalidPacket(const std::string& step, int32_t actual, int32_t expected) {
    return Exception("Invalid data packet received during " + step + " [" + std::to_string(actual) +
                     "] should be [" + std::to_string(expected) + "]");
}

} // namespace

TZelWirelessClient::TZelWirelessClient(TZelWirelessServer* server)
    : Server(server), ConnectTime(QDateTime::currentDateTime()),
      Session(std::make_shared<TZel_ODBCSession>()) {}

TZelWirelessClient::~TZelWirelessClient() {
    if (Socket) {
        if (State != csClosed)
            CloseConnection();
        // Already reported: the socket's own close on destruction stays silent.
        Socket->OnRead = nullptr;
        Socket->OnWrite = nullptr;
        Socket->OnDisconnect = nullptr;
        Socket.reset();
    }
}

void TZelWirelessClient::AttachSocket(std::unique_ptr<TZel_Socket> socket) {
    Socket = std::move(socket);
    m_peerAddress = Socket->PeerAddress();
    Socket->OnRead = [this](TZel_Socket*) { DoReadData(); };
    Socket->OnDisconnect = [this](TZel_Socket*) { HandleDisconnect(); };
    Socket->OnWrite = nullptr;
    Socket->SetKeepAlive(true);
    Socket->SetNoDelay(true);
}

void TZelWirelessClient::CloseConnection() {
    if (Socket)
        Socket->Close();
}

std::string TZelWirelessClient::GetAddress() const {
    if (!Socket)
        return "(unknown)";
    return Socket->PeerAddress();
}

// Empty parts are left out: no "@" without an address (the socket has been
// closed), no "()" without a description (before the greeting).
std::string TZelWirelessClient::GetTitle() const {
    // A closed socket no longer knows its peer: the line that logs the
    // disconnect still names the address the connection came from.
    std::string address = GetAddress();
    if (address.empty())
        address = m_peerAddress;
    if (!PDAInfo.UserName.empty())
        return address.empty() ? PDAInfo.UserName : PDAInfo.UserName + "@" + address;
    if (Description.empty())
        return address;
    return address.empty() ? "(" + Description + ")" : address + " (" + Description + ")";
}

std::string TZelWirelessClient::ServerAddressText() const {
    const std::string configured = Server ? Server->IPAddress : std::string();
    // Listening on every interface: tell the handheld the address it reached.
    if ((configured.empty() || configured == "0.0.0.0") && Socket) {
        const std::string local = Socket->LocalAddress();
        if (!local.empty())
            return local;
    }
    return configured;
}

std::string TZelWirelessClient::GetServerName() const {
    return Server ? Server->ServerName : "(unknown server)";
}

// QDateTime::currentDateTime() converts to local time, with a look at the
// time zone file, on every call; within one millisecond its value is the same.
QDateTime TZelWirelessClient::Now() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now != m_nowMSecs) {
        m_now = QDateTime::fromMSecsSinceEpoch(now, Qt::LocalTime);
        m_nowMSecs = now;
    }
    return m_now;
}

// A copy is called: the owner may free this client from the notification.
void TZelWirelessClient::RaiseChange() {
    if (OnChange) {
        const ChangeNotify notify = OnChange;
        notify(this);
    }
}

void TZelWirelessClient::RaiseTransfer(int32_t bytesIn, int32_t bytesOut) {
    if (OnTransfer)
        OnTransfer(this, bytesIn, bytesOut);
}

// Reads at most one chunk of header and one of payload per notification;
// bytes left in the socket bring another notification.
void TZelWirelessClient::DoReadData() {
    TDeletionGuard guard(m_watch);
    RaiseChange();
    if (guard.Deleted() || State == csClosed || m_waiting)
        return;
    try {
        int32_t count = Socket->BytesWaiting();
        if (count <= 0) {
            if (GetVerbose())
                LogVerbose(GetTitle() + ": WARNING - waiting on partial header - #1");
            count = ZEL_HEADER_SIZE;
        }
        if (!ReadMsg.HeaderComplete) {
            ReadChunk(std::min(count, ReadMsg.HeaderWanted()));
            if (guard.Deleted() || !ReadMsg.HeaderFilled())
                return;
            ReadMsg.ParseHeader();
            if (GetVerbose())
                LogVerbose(GetTitle() + ": <<<< read header " + ReadMsg.Describe());
        }
        if (ReadMsg.DataLength > 0) {
            const int32_t waiting = Socket->BytesWaiting();
            if (waiting <= 0)
                return;
            ReadChunk(std::min(waiting, ReadMsg.PayloadWanted()));
            if (guard.Deleted())
                return;
        }
        if (ReadMsg.Complete())
            ProcessMessage();
    } catch (const std::exception& e) {
        if (guard.Deleted())
            return;
        LogError(GetTitle() + ": error during read: " + ExceptionText(e));
        if (Encoder.Enabled) {
            // Which of the waiting bytes belong to which key position is lost
            // with the frame boundary: nothing after them can be read.
            LogError(GetTitle() + ": scrambled stream out of step, connection closed");
        } else if (GetVerbose()) {
            LogVerbose(GetTitle() + ": client does not appear to support protocol");
        }
        CloseConnection();
    }
}

int32_t TZelWirelessClient::ReadChunk(int32_t n) {
    if (n <= 0)
        return 0;
    char* place = ReadMsg.Reserve(n);
    int32_t received = n;
    if (!Socket->Recv(place, received))
        received = 0;
    if (GetVerbose())
        LogVerbose(GetTitle() + ": socket read " + std::to_string(received) + " bytes");
    if (received <= 0)
        return 0;
    Encoder.DecodeRecv(place, received);
    ReadMsg.Received(received);
    BytesIn += received;
    RaiseTransfer(received, 0);
    return received;
}

void TZelWirelessClient::ProcessMessage() {
    TDeletionGuard guard(m_watch);
    MessagesIn += 1;
    LastMessageTime = Now();
    if (State == csClosed) {
        ReadMsg.Clear();
        CloseConnection();
        return;
    }
    if (GetVerbose()) {
        LogVerbose(GetTitle() + ": <<<< read payload:");
        LogVerbose("[" + PrintableText(ReadMsg.Payload.Data(), ReadMsg.PayloadCount) + "]");
    }
    if (Server && !Server->IsEnabled()) {
        ReadMsg.Clear();
        SendError(Server->DisabledMessage, std::string());
        CloseConnection();
        return;
    }
    try {
        const auto entry =
            std::find_if(std::begin(DISPATCH), std::end(DISPATCH),
                         [this](const TDispatchEntry& e) { return ReadMsg.MessageType == e.MessageType; });
        if (entry == std::end(DISPATCH))
            throw Exception("Unrecognized message type");
        (this->*(entry->Handler))();
    } catch (const std::exception& e) {
        if (guard.Deleted())
            return;
        ReportRequestFailure(e);
    }
    if (guard.Deleted())
        return;
    ReadMsg.Clear();
}

void TZelWirelessClient::ReportRequestFailure(const std::exception& error) {
    const std::string text = "Error processing message, " + ExceptionText(error);
    LogInfo(GetTitle() + ": " + text);
    SendError(text, "caller: Processing Message");
}

void TZelWirelessClient::RunOnDatabase(std::shared_ptr<TZel_ODBCSession> session, TDatabaseWorkKind kind,
                                       DatabaseWork work, DatabaseFinish finish) {
    auto workers = Server->ConnectionPool.Workers(session->DSN, session->Username, session->Password,
                                                  Server->ConnectionsPerDataSource, Server->StatementTimeout,
                                                  Server->DatabaseConnectionShare);
    // Requests on one table are told apart from those on others however
    // the session spells its name.
    std::string table = session->Tablename;
    std::transform(table.begin(), table.end(), table.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const auto workerKind = kind == TDatabaseWorkKind::SessionSelect
                                ? TZel_ConnectionWorkers::TJobKind::SessionSelect
                            : kind == TDatabaseWorkKind::Write ? TZel_ConnectionWorkers::TJobKind::Write
                                                               : TZel_ConnectionWorkers::TJobKind::Read;
    // The job holds the session and a weak reference to this client; the
    // client is touched again only on the event loop, and only when alive.
    auto job = [session = std::move(session), work = std::move(work), finish = std::move(finish),
                alive = std::weak_ptr<int>(m_alive), client = this,
                poster = Server->DatabaseReplyPoster()](const TZel_ConnectionWorkers::Connect& connect) {
        TZelLogCapture capture;
        std::exception_ptr failure;
        try {
            try {
                session->AttachConnection(connect());
            } catch (...) {
                // A session with an open table reports the missing
                // connection in its own words, as its requests always have.
                if (!session->Table())
                    throw;
                session->DetachConnection();
            }
            work(*session);
        } catch (...) {
            failure = std::current_exception();
        }
        TDatabaseResult result{capture.Take(), session, failure, session->IsConnected()};
        return TZel_ConnectionWorkers::Then([poster, result = std::move(result), finish, alive, client] {
            poster.Post([result, finish, alive, client] {
                if (!alive.expired())
                    client->FinishDatabaseWork(result, finish);
                else // freed meanwhile: nobody waits for the result, but what happened is logged
                    TZelLogCapture::Write(result.Lines);
            });
        });
    };
    // Held by the client (never by the job, which ends on the worker's own
    // thread) so that the pool keeps them while the session may use them.
    m_workersInUse = workers;
    m_waiting = true;
    if (Socket)
        Socket->PauseReading(true);
    try {
        workers->Submit(std::move(job), workerKind, table);
    } catch (...) {
        // Nothing was queued: no reply will come from a worker.
        m_waiting = false;
        m_workersInUse.reset();
        if (Socket)
            Socket->PauseReading(false);
        throw;
    }
}

void TZelWirelessClient::FinishDatabaseWork(const TDatabaseResult& result, const DatabaseFinish& finish) {
    TDeletionGuard guard(m_watch);
    TZelLogCapture::Write(result.Lines);
    m_waiting = false;
    auto workersInUse = std::exchange(m_workersInUse, nullptr);
    // Closed meanwhile (by the operator or the handheld): the result would
    // bring the client back to life, and nobody reads a reply.
    if (State == csClosed)
        return;
    try {
        finish(*this, result.Failure);
    } catch (const std::exception& e) {
        if (guard.Deleted())
            return;
        ReportRequestFailure(e);
    }
    if (guard.Deleted())
        return;
    if (Session == result.Session) {
        DatabaseConnected = result.Connected;
        m_sessionWorkers = std::move(workersInUse);
    }
    if (m_disabledAfterReply) {
        m_disabledAfterReply = false;
        SendDisabled();
        if (guard.Deleted())
            return;
    }
    if (Socket)
        Socket->PauseReading(false);
}

void TZelWirelessClient::SendDisabled() {
    if (State >= csClosed)
        return;
    if (m_waiting) {
        m_disabledAfterReply = true;
        return;
    }
    SendError(Server ? Server->DisabledMessage : std::string(), "Server shutdown");
}

void TZelWirelessClient::HandleBye() {
    if (ReadMsg.PayloadCount != 0)
        throw InvalidPacket("client disconnect", ReadMsg.PayloadCount, 0);
    CloseConnection();
}

void TZelWirelessClient::SendFrame() {
    MessagesOut += 1;
    LastMessageTime = Now();
    SendMsg.DataLength = SendMsg.PayloadCount;
    SendMsg.BuildHeader();
    if (GetVerbose()) {
        LogVerbose(GetTitle() + ": >>>> send header: " + SendMsg.Describe());
        LogVerbose(GetTitle() + ": >>>> send payload:");
        LogVerbose("[" + PrintableText(SendMsg.Payload.Data(), SendMsg.PayloadCount) + "]");
    }
    // Scrambled before the socket sees them, so bytes queued for later keep
    // their key positions.
    Encoder.EncodeSend(SendMsg.Header.Data(), ZEL_HEADER_SIZE);
    Encoder.EncodeSend(SendMsg.Payload.Data(), SendMsg.PayloadCount);
    if (Socket &&
        Socket->Write(SendMsg.Header.Data(), ZEL_HEADER_SIZE, SendMsg.Payload.Data(), SendMsg.PayloadCount)) {
        BytesOut += ZEL_HEADER_SIZE;
        RaiseTransfer(0, ZEL_HEADER_SIZE);
        if (SendMsg.PayloadCount > 0) {
            BytesOut += SendMsg.PayloadCount;
            RaiseTransfer(0, SendMsg.PayloadCount);
        }
        return;
    }
    if (Socket && Socket->IsConnected()) {
        // The handheld has stopped reading: drop it before its replies exhaust memory.
        LogError(GetTitle() + ": send queue over " + std::to_string(Socket->MaxQueuedBytes) +
                 " bytes, connection closed");
        CloseConnection();
        return;
    }
    LogError(GetTitle() + ": send underrun on header, sent [0] buffer [" + std::to_string(ZEL_HEADER_SIZE) +
             "]");
    if (SendMsg.PayloadCount > 0)
        LogError(GetTitle() + ": send underrun on payload, sent [0] buffer [" +
                 std::to_string(SendMsg.PayloadCount) + "]");
}

void TZelWirelessClient::SendError(const std::string& message, const std::string& context) {
    SendMsg.Clear();
    SendMsg.MessageType = "PCERR";
    SendMsg.OutOfBand = true;
    SendMsg.AppendText("Y", 1);
    SendMsg.AppendText(message, 250);
    SendMsg.AppendText(context, 250);
    SendFrame();
    RaiseChange();
}

void TZelWirelessClient::HandleDisconnect() {
    LogInfo("Disconnect from " + GetTitle());
    State = csClosed;
    RaiseChange();
}

void TZelWirelessClient::HandleHello() {
    if (ReadMsg.PayloadCount != 60)
        throw InvalidPacket("client connect", ReadMsg.PayloadCount, 60);
    const char* payload = ReadMsg.Payload.Data();
    int position = 0;
    PDAInfo.SWVersion = ReadFieldStr(payload, position, 30);
    PDAInfo.Software = ReadFieldStr(payload, position, 30);
    if (GetVerbose())
        LogVerbose("| | | | " + GetTitle() + ": PDAInfo: " + PDAInfo.LogText());
    State = csGreeted;
    SendMsg.Clear();
    SendMsg.MessageType = "PCHELO";
    SendMsg.AppendText("Y", 1);
    SendMsg.AppendText(ServerAddressText(), 60);
    SendMsg.AppendText(GetServerName(), 60);
    SendMsg.AppendText(GetVersionInfoString("FileVersion"), 20);
    SendMsg.AppendText("Server ready", 250);
    SendMsg.AppendBytes(reinterpret_cast<const char*>(Encoder.Key.data()), Encoder.KeyLength);
    SendFrame();
    Encoder.SetEnabled(true);
    RaiseChange();
}

void TZelWirelessClient::HandleLogin() {
    if (ReadMsg.PayloadCount != 240)
        throw InvalidPacket("login", ReadMsg.PayloadCount, 240);
    if (State != csGreeted)
        throw Exception("Data packets out of sequence, client not recognized");
    const char* payload = ReadMsg.Payload.Data();
    int position = 0;
    PDAInfo.UserName = ReadFieldStr(payload, position, 40);
    position += 40; // not used by the server
    PDAInfo.SerialNumber = ReadFieldStr(payload, position, 40);
    PDAInfo.Model = ReadFieldStr(payload, position, 60);
    PDAInfo.OperatingSystem = ReadFieldStr(payload, position, 60);
    if (GetVerbose())
        LogVerbose("| | | | " + GetTitle() + ": PDAInfo: " + PDAInfo.LogText());
    State = csLoggedIn;
    SendMsg.Clear();
    SendMsg.MessageType = "PCLOGIN";
    SendMsg.AppendText("Y", 1);
    SendMsg.AppendText("Login accepted.", 250);
    SendFrame();
    if (Server) {
        Server->AdmitDevice(*this);
        Server->CleanupReconnected(this);
    }
    RaiseChange();
}

void TZelWirelessClient::HandleSessionSelect() {
    if (ReadMsg.PayloadCount != 165)
        throw InvalidPacket("session selection", ReadMsg.PayloadCount, 165);
    if (State != csLoggedIn && State != csSessionSelected)
        throw Exception("Data packets out of sequence, client not recognized");
    const char* payload = ReadMsg.Payload.Data();
    int position = 0;
    PDASession.SessionNumber = ReadFieldInt(payload, position, 5);
    PDASession.PluginName = ReadFieldStr(payload, position, 20);
    PDASession.PluginVersion = ReadFieldStr(payload, position, 20);
    position += 20; // not used by the server
    PDASession.SessionName = ReadFieldStr(payload, position, 100);
    if (GetVerbose())
        LogVerbose("| | | | " + GetTitle() + ": PDASession: " + PDASession.LogText());
    LogInfo(GetTitle() + " open " + TZel_ODBCSession::SectionNameOf(PDASession.SessionNumber) + " (" +
            PDASession.SessionName + ")");
    // The new definition is loaded into a session of its own and takes the
    // place of the current one only once it is open and valid: a failed
    // selection leaves the handheld exactly the session it had. Connecting,
    // opening the table and checking the fields run on a database worker.
    auto session = std::make_shared<TZel_ODBCSession>();
    session->SessionNumber = PDASession.SessionNumber;
    try {
        if (Server) {
            const std::string refusal = Server->SessionRefusal(*this, PDASession.SessionNumber);
            if (!refusal.empty())
                throw Exception(refusal);
        }
        session->IniFile = g_PrefsMgr ? g_PrefsMgr->GetIniFile() : nullptr;
        session->ReadINISettings();
        if (!session->IsEnabled())
            throw Exception("Session [" + session->SessionName + "] not enabled on server");
        if (session->DSN.empty()) {
            // Nothing to connect to: fails as the checks do, without a worker.
            session->OpenTable();
            session->ValidateFields();
        }
    } catch (...) {
        FinishSessionSelect(session, std::current_exception());
        return;
    }
    RunOnDatabase(
        session, TDatabaseWorkKind::SessionSelect,
        [](TZel_ODBCSession& selected) {
            selected.OpenTable();
            selected.ValidateFields();
        },
        [session](TZelWirelessClient& client, std::exception_ptr failure) {
            client.FinishSessionSelect(session, failure);
        });
}

void TZelWirelessClient::FinishSessionSelect(const std::shared_ptr<TZel_ODBCSession>& session,
                                             std::exception_ptr failure) {
    bool selected = false;
    std::string text;
    try {
        if (failure)
            std::rethrow_exception(failure);
        text = "Session selected: " + session->SessionName;
        Session = session;
        State = csSessionSelected;
        selected = true;
    } catch (const std::exception& e) {
        text = "Session not selected: " + ExceptionText(e);
        LogError(GetTitle() + ": " + text);
    }
    SendMsg.Clear();
    SendMsg.MessageType = "PCSSEL";
    SendMsg.AppendText(BoolToYN(selected), 1);
    SendMsg.AppendText(text, 200);
    SendFrame();
    RaiseChange();
}
