#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDateTime>

#include "base/Zel_EventLogger.h"
#include "net/DeletionGuard.h"
#include "protocol/PDAInfo.h"
#include "protocol/PDASession.h"
#include "protocol/WirelessEncoding.h"
#include "protocol/WirelessMessage.h"

class TZel_ConnectionWorkers;
class TZel_ODBCSession;
class TZel_Socket;
class TZelWirelessServer;

enum TClientState : uint8_t {
    csConnected = 0,
    csGreeted = 1,
    csLoggedIn = 2,
    csSessionSelected = 3,
    csClosed = 4,
};

// The server side of one handheld connection: reads frames as the socket
// reports bytes, unscrambles them, dispatches each complete frame to its
// handler and sends the reply. A failing handler is logged and answered with
// "PCERR"; it never ends the connection by itself.
//
// Database work (session selection and the data requests) runs on a worker
// of the server's connection pool. Until its reply is sent the client reads
// no further frame, so a handheld's requests run and are answered in the
// order it sent them, with their log lines and change notifications.
class TZelWirelessClient {
public:
    using ChangeNotify = std::function<void(TZelWirelessClient* sender)>;
    using TransferNotify = std::function<void(TZelWirelessClient* sender, int32_t bytesIn, int32_t bytesOut)>;

    explicit TZelWirelessClient(TZelWirelessServer* server);
    // Closes a connection that is still open (one "Disconnect from" line),
    // then frees the socket and the data session.
    ~TZelWirelessClient();
    TZelWirelessClient(const TZelWirelessClient&) = delete;
    TZelWirelessClient& operator=(const TZelWirelessClient&) = delete;

    TZelWirelessServer* Server; // not owned
    // Assigned by the server when it lists the client, never reused while
    // the server lives; 0 for a client no server has listed. Views keep this
    // instead of the pointer, which dangles once the server frees the client.
    uint64_t Id = 0;
    TZelWirelessEncoder Encoder;
    std::string Description;
    // 64-bit: a long-lived connection never runs them over.
    int64_t MessagesOut = 0;
    int64_t MessagesIn = 0;
    int64_t BytesOut = 0; // bytes handed to the socket, headers and payloads
    int64_t BytesIn = 0;
    QDateTime ConnectTime;
    QDateTime LastMessageTime; // invalid until the first frame
    std::unique_ptr<TZel_Socket> Socket;
    TClientState State = csConnected;
    TZelWirelessMessageRead ReadMsg;
    TZelWirelessMessageSend SendMsg;
    TZelPDAInfo PDAInfo;
    TZelPDASession PDASession;
    // Shared with the database work under way, which may outlive the client.
    std::shared_ptr<TZel_ODBCSession> Session;
    // The device's key in the server's registry, set at login.
    std::string DeviceKey;
    // Whether the session's data source was connected after its last request.
    bool DatabaseConnected = false;
    ChangeNotify OnChange;
    TransferNotify OnTransfer;

    // Takes the connected socket and registers for its notifications.
    void AttachSocket(std::unique_ptr<TZel_Socket> socket);
    // Closes the socket; HandleDisconnect has run when this returns.
    void CloseConnection();
    void SendError(const std::string& message, const std::string& context);
    // Tells the handheld that the server has been disabled: at once, or
    // right after the reply to the request whose database work is under way.
    void SendDisabled();

    // "(unknown)" without a socket; empty once the socket has been closed.
    std::string GetAddress() const;
    // "user@address" after login, else "address (Description)"; empty parts
    // are left out, and a closed connection keeps the address it came from.
    std::string GetTitle() const;
    std::string GetServerName() const;
    // The server's address for "PCHELO": the configured one, or the address
    // of this connection when the server listens on every interface.
    std::string ServerAddressText() const;

    // Scrambles and hands over the reply in SendMsg.
    void SendFrame();

    // The socket's notifications.
    void DoReadData();
    void HandleDisconnect();

    // Frame reading: reads, unscrambles and counts at most n bytes of the
    // part of ReadMsg being read; returns how many arrived.
    int32_t ReadChunk(int32_t n);
    void ProcessMessage();

    // Message handlers, run by ProcessMessage; each sends its reply or raises.
    void HandleHello();
    void HandleBye();
    void HandleLogin();
    void HandleSessionSelect();
    // Data requests (WirelessClientRequests.cpp).
    void HandleSelect();
    void HandleCount();
    void HandlePost();
    void HandleDelete();

    // The work runs on a worker of the session's data source (connected to
    // it first), then finish runs on the event loop with what the work
    // raised, unless the client has been freed or closed by then (the
    // work's log lines are written all the same). kind chooses the
    // connection (see TZel_ConnectionWorkers). Raises, and leaves the client
    // reading again, when the work cannot be given to a worker.
    enum class TDatabaseWorkKind { SessionSelect, Read, Write };
    using DatabaseWork = std::function<void(TZel_ODBCSession& session)>;
    using DatabaseFinish = std::function<void(TZelWirelessClient& client, std::exception_ptr failure)>;
    void RunOnDatabase(std::shared_ptr<TZel_ODBCSession> session, TDatabaseWorkKind kind, DatabaseWork work,
                       DatabaseFinish finish);
    // The "PCERR" answer and log line of a request that failed.
    void ReportRequestFailure(const std::exception& error);

private:
    std::string m_peerAddress; // as the socket had it when attached
    // What database work leaves for the event loop.
    struct TDatabaseResult {
        std::vector<TZelLogCapture::TLine> Lines;
        std::shared_ptr<TZel_ODBCSession> Session;
        std::exception_ptr Failure;
        bool Connected = false;
    };
    void FinishDatabaseWork(const TDatabaseResult& result, const DatabaseFinish& finish);
    void FinishSessionSelect(const std::shared_ptr<TZel_ODBCSession>& session, std::exception_ptr failure);
    void RaiseChange();
    void RaiseTransfer(int32_t bytesIn, int32_t bytesOut);
    QDateTime Now();

    TDeletionWatch m_watch;
    // Held while the client lives; database work keeps a weak reference to
    // learn whether its client is still there.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    bool m_waiting = false;
    // The workers of the session, and of the work under way.
    std::shared_ptr<TZel_ConnectionWorkers> m_sessionWorkers;
    std::shared_ptr<TZel_ConnectionWorkers> m_workersInUse;
    bool m_disabledAfterReply = false;
    qint64 m_nowMSecs = -1;
    QDateTime m_now;
};
