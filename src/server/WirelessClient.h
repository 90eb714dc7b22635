#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QDateTime>

#include "net/DeletionGuard.h"
#include "protocol/PDAInfo.h"
#include "protocol/PDASession.h"
#include "protocol/WirelessEncoding.h"
#include "protocol/WirelessMessage.h"

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
    std::unique_ptr<TZel_ODBCSession> Session;
    ChangeNotify OnChange;
    TransferNotify OnTransfer;

    // Takes the connected socket and registers for its notifications.
    void AttachSocket(std::unique_ptr<TZel_Socket> socket);
    // Closes the socket; HandleDisconnect has run when this returns.
    void CloseConnection();
    void SendError(const std::string& message, const std::string& context);

    // "(unknown)" without a socket; empty once the socket has been closed.
    std::string GetAddress() const;
    // "user@address" after login, else "address (Description)".
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

private:
    void RaiseChange();
    void RaiseTransfer(int32_t bytesIn, int32_t bytesOut);
    QDateTime Now();

    TDeletionWatch m_watch;
    qint64 m_nowMSecs = -1;
    QDateTime m_now;
};
