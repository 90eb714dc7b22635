#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/DeletionGuard.h"

class QSocketNotifier;
class QTimer;

enum class TSocketState : uint8_t { Closed = 0, Connected = 3, Listening = 5 };
enum class TSocketTransport : uint8_t { None = 0, TCP = 1, ICMP = 2 };

// Output a connection may hold back for a peer that does not read; beyond it
// the owner drops the connection rather than let the memory grow.
constexpr int32_t ZEL_MAX_SEND_QUEUE = 1024 * 1024;

// One non-blocking TCP socket driven by the Qt event loop. Readiness of the
// descriptor becomes the notifications below; nothing blocks and no thread is
// used. A listening object accepts every pending connection and hands each
// to OnAccept as a new connected object.
//
// The object may be freed from inside any of its own notifications: its
// notifiers are released through the event loop and the dispatch code checks
// a deletion guard before it touches the object again.
class TZel_Socket {
public:
    using Notify = std::function<void(TZel_Socket* sender)>;
    using LogNotify = std::function<void(int level, const std::string& text)>;
    using AcceptNotify = std::function<void(TZel_Socket* sender, std::unique_ptr<TZel_Socket> connection)>;

    TZel_Socket();
    // Close, with all its effects (OnDisconnect included).
    ~TZel_Socket();
    TZel_Socket(const TZel_Socket&) = delete;
    TZel_Socket& operator=(const TZel_Socket&) = delete;

    TSocketState State = TSocketState::Closed;
    bool Busy = false; // from a successful Listen until Close
    int Handle = -1;
    sockaddr_in SockAddr{}; // bind address while listening; the peer's after an accept
    std::string Name = "(noname)";
    TSocketTransport Transport = TSocketTransport::None;
    std::string Address; // dotted IPv4 address to listen on
    int32_t Port = 0;
    int32_t LastError = 0; // Winsock code; 0 none, -1 the object's own refusals
    std::string LastErrorText;
    int32_t MaxQueuedBytes = ZEL_MAX_SEND_QUEUE;

    LogNotify OnLog;
    Notify OnDisconnect;
    AcceptNotify OnAccept;
    Notify OnWrite;
    Notify OnRead;

    // Creates the descriptor. Raises on a second call before Close.
    void SetTransport(TSocketTransport kind);
    // Binds Address:Port (with SO_REUSEADDR, so a restart binds at once) and listens.
    bool Listen();
    // One non-blocking send; length becomes the bytes taken. A hard error closes.
    bool Send(const char* buffer, int32_t& length);
    // One non-blocking receive; size becomes the bytes received. Finding the
    // peer gone reports the disconnect and returns false.
    bool Recv(char* buffer, int32_t& size);
    // Releases the descriptor and reports the disconnect; true when the close succeeded.
    bool Close();
    // Dotted peer address; empty once the descriptor has been released.
    std::string PeerAddress() const;
    // Dotted address of this end of the connection; empty when unknown.
    std::string LocalAddress() const;
    // Bytes one Recv could take now; -1 when the query fails.
    int32_t BytesWaiting();
    bool IsConnected() const { return State == TSocketState::Connected; }

    // Hands over the bytes of both buffers, in order: what the socket does not
    // take at once is queued and written when it becomes writable. False when
    // nothing could be handed over: not connected, a hard error (which
    // closes), or a queue that would exceed MaxQueuedBytes (LastError 10055;
    // the connection stays open for the owner to close).
    bool Write(const char* first, int32_t firstLength, const char* second = nullptr,
               int32_t secondLength = 0);
    int32_t QueuedBytes() const { return static_cast<int32_t>(m_queue.size() - m_queueHead); }
    bool SetKeepAlive(bool on);
    // Frames are written whole, so delaying small segments only adds latency.
    bool SetNoDelay(bool on);
    // Accepts every pending connection of a listening object (run on read readiness).
    void AcceptPending();
    // A connection whose owner cannot take more input yet stops reading:
    // neither OnRead nor the close event comes until reading resumes; the
    // bytes wait in the system's buffer.
    void PauseReading(bool paused);

private:
    void RecordError(int32_t code, const char* prefix);
    void Log(int level, const std::string& text);
    void Adopt(int handle, const sockaddr_in& peer);
    void StartNotifiers();
    void ReleaseNotifiers();
    void EnableWriteNotifier(bool on);
    void PauseAccepting();
    void ReadReady();
    void WriteReady();
    void CloseEvent(int32_t error);
    bool FlushQueue();
    void DiscardUnreadInput();

    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer* m_acceptPause = nullptr;
    std::vector<char> m_queue; // bytes not yet taken by the socket, from m_queueHead on
    size_t m_queueHead = 0;
    int32_t m_waitingHint = -1; // FIONREAD of the read event being delivered, until the first receive
    bool m_peerEnded = false;   // the peer's end was seen while replies were still queued
    TDeletionWatch m_watch;
};
