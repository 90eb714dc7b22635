#include "net/Zel_Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

#include "base/Exception.h"
#include "net/WinsockUtil.h"

namespace {

constexpr int32_t WSAEWOULDBLOCK_CODE = 10035;
constexpr int32_t WSAEALREADY_CODE = 10037;
constexpr int32_t WSAENOTSOCK_CODE = 10038;
constexpr int32_t WSAEMSGSIZE_CODE = 10040;
constexpr int32_t WSAENOBUFS_CODE = 10055;
constexpr int32_t WSAENOTCONN_CODE = 10057;

// How long a listener rests after an accept failure that would repeat at
// once (no descriptors left): the pending connection keeps the descriptor
// readable, so without a pause the loop would spin.
constexpr int ACCEPT_PAUSE_MS = 100;

// What a closing connection reads and throws away, so that unread input does
// not make close() reset the connection and lose the replies still in flight.
constexpr int DISCARD_ON_CLOSE_BYTES = 64 * 1024;

// A queue that has shrunk to nothing gives its storage back above this size.
constexpr size_t KEPT_QUEUE_CAPACITY = 64 * 1024;

// Calls a copy: the owner may free this socket, and with it the stored
// function, while the notification runs.
template <typename Function, typename... Args>
void CallNotification(const Function& function, Args&&... args) {
    if (function) {
        const Function call = function;
        call(std::forward<Args>(args)...);
    }
}

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

} // namespace

TZel_Socket::TZel_Socket() {
    SockAddr.sin_family = AF_INET;
}

TZel_Socket::~TZel_Socket() {
    Close();
}

void TZel_Socket::RecordError(int32_t code, const char* prefix) {
    LastError = code;
    LastErrorText.assign(prefix);
    LastErrorText += SocketErrorName(code);
}

void TZel_Socket::Log(int level, const std::string& text) {
    if (OnLog)
        CallNotification(OnLog, level, Name + ": " + text);
}

void TZel_Socket::SetTransport(TSocketTransport kind) {
    if (Transport != TSocketTransport::None)
        throw Exception("TZel_Socket.SetTransport: already assigned, cannot reassign socket transport");
    switch (kind) {
    case TSocketTransport::TCP:
        Transport = TSocketTransport::TCP;
        Handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        RecordError(Handle < 0 ? WinsockErrorFromErrno(errno) : 0, "Create TCP socket: ");
        break;
    case TSocketTransport::ICMP:
        LastError = -1;
        LastErrorText = "Create ICMP socket: transport not supported";
        break;
    default:
        RecordError(-1, "Create socket: unrecognized transport: ");
        break;
    }
}

bool TZel_Socket::Listen() {
    LastError = -1;
    if (State != TSocketState::Closed || Busy) {
        RecordError(WSAEALREADY_CODE, "Socket state not valid for listening: ");
        return false;
    }
    if (Transport != TSocketTransport::TCP) {
        LastErrorText = "Socket transport not assigned or invalid";
        return false;
    }
    if (Address.empty()) {
        LastErrorText = "Socket address missing or invalid";
        return false;
    }
    // The port field of the address holds 16 bits: anything else would wrap.
    if (Port <= 0 || Port > 65535) {
        LastErrorText = "Socket port number not valid";
        return false;
    }
    const in_addr_t address = ::inet_addr(Address.substr(0, 32).c_str());
    if (address == INADDR_NONE) {
        LastError = -1;
        LastErrorText = "Invalid IP address for listen operation";
        State = TSocketState::Closed;
        return false;
    }
    const int reuse = 1;
    ::setsockopt(Handle, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    SockAddr = sockaddr_in{};
    SockAddr.sin_family = AF_INET;
    SockAddr.sin_port = htons(static_cast<uint16_t>(Port));
    SockAddr.sin_addr.s_addr = address;
    if (::bind(Handle, reinterpret_cast<const sockaddr*>(&SockAddr), sizeof SockAddr) != 0) {
        RecordError(WinsockErrorFromErrno(errno), "BIND: ");
        State = TSocketState::Closed;
        Busy = false;
        return false;
    }
    State = TSocketState::Listening;
    Busy = true;
    StartNotifiers();
    // A deep backlog: a crowd of handhelds switched on together must not
    // wait for SYN retries.
    if (::listen(Handle, SOMAXCONN) != 0) {
        RecordError(WinsockErrorFromErrno(errno), "LISTEN: ");
        State = TSocketState::Closed;
        Busy = false;
        ReleaseNotifiers();
        return false;
    }
    return true;
}

bool TZel_Socket::Send(const char* buffer, int32_t& length) {
    if (!IsConnected()) {
        RecordError(WSAENOTCONN_CODE, "SEND: ");
        length = 0;
        return false;
    }
    if (!buffer) {
        RecordError(WSAEMSGSIZE_CODE, "SEND: ");
        length = 0;
        return false;
    }
    // Queued bytes go first: a direct send now would overtake them.
    if (QueuedBytes() > 0) {
        RecordError(WSAEWOULDBLOCK_CODE, "SEND: ");
        length = 0;
        return false;
    }
    ssize_t sent;
    do {
        sent = ::send(Handle, buffer, static_cast<size_t>(std::max(length, 0)), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    const int32_t error = sent < 0 ? WinsockErrorFromErrno(errno) : 0;
    RecordError(error, "SEND: ");
    if (error != 0 && error != WSAEWOULDBLOCK_CODE) {
        length = 0;
        Close();
        return false;
    }
    if (sent < 1) {
        length = 0;
        return false;
    }
    length = static_cast<int32_t>(sent);
    return true;
}

bool TZel_Socket::Recv(char* buffer, int32_t& size) {
    if (!IsConnected()) {
        RecordError(WSAENOTCONN_CODE, "RECV: ");
        size = 0;
        return false;
    }
    if (!buffer) {
        RecordError(WSAEMSGSIZE_CODE, "RECV: ");
        size = 0;
        return false;
    }
    // Receiving into no room would read as the peer's end of stream.
    if (size <= 0) {
        size = 0;
        return true;
    }
    ssize_t received;
    do {
        m_waitingHint = -1;
        received = ::recv(Handle, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    const int32_t error = received < 0 ? WinsockErrorFromErrno(errno) : 0;
    RecordError(error, "RECV: ");
    if (received <= 0) {
        size = 0;
        if (error == WSAEWOULDBLOCK_CODE)
            return true;
        Log(1, "recv: socket closed by peer");
        State = TSocketState::Closed;
        Busy = false;
        ReleaseNotifiers();
        CallNotification(OnDisconnect, this);
        return false;
    }
    size = static_cast<int32_t>(received);
    return true;
}

bool TZel_Socket::Close() {
    m_waitingHint = -1;
    ReleaseNotifiers();
    bool closed = false;
    if (Handle >= 0) {
        if (State == TSocketState::Connected) {
            // Best effort only: a peer that stopped reading loses what is still queued.
            if (QueuedBytes() > 0)
                ::send(Handle, m_queue.data() + m_queueHead, m_queue.size() - m_queueHead,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
            DiscardUnreadInput();
        }
        closed = ::close(Handle) == 0;
        RecordError(closed ? 0 : WinsockErrorFromErrno(errno), "CLOSE: ");
    } else {
        RecordError(WSAENOTSOCK_CODE, "CLOSE: ");
    }
    Log(1, "disconnecting");
    Busy = false;
    State = TSocketState::Closed;
    Handle = -1;
    Transport = TSocketTransport::None;
    std::vector<char>().swap(m_queue);
    m_queueHead = 0;
    m_peerEnded = false;
    Log(4, "Disconnected from " + Address);
    CallNotification(OnDisconnect, this);
    return closed;
}

std::string TZel_Socket::PeerAddress() const {
    if (Handle < 0)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &SockAddr.sin_addr, text, sizeof text);
    return text;
}

std::string TZel_Socket::LocalAddress() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (Handle < 0 || ::getsockname(Handle, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    return text;
}

int32_t TZel_Socket::BytesWaiting() {
    if (m_waitingHint > 0) {
        const int32_t waiting = m_waitingHint;
        m_waitingHint = -1;
        RecordError(0, "");
        return waiting;
    }
    int waiting = 0;
    if (::ioctl(Handle, FIONREAD, &waiting) != 0) {
        RecordError(WinsockErrorFromErrno(errno), "");
        return -1;
    }
    RecordError(0, "");
    return waiting;
}

bool TZel_Socket::Write(const char* first, int32_t firstLength, const char* second, int32_t secondLength) {
    if (!IsConnected()) {
        RecordError(WSAENOTCONN_CODE, "SEND: ");
        return false;
    }
    if (firstLength < 0 || secondLength < 0 || (firstLength > 0 && !first) || (secondLength > 0 && !second)) {
        RecordError(WSAEMSGSIZE_CODE, "SEND: ");
        return false;
    }
    const size_t total = static_cast<size_t>(firstLength) + static_cast<size_t>(secondLength);
    size_t sent = 0;
    if (QueuedBytes() == 0 && total > 0) {
        iovec parts[2] = {{const_cast<char*>(first), static_cast<size_t>(firstLength)},
                          {const_cast<char*>(second), static_cast<size_t>(secondLength)}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = secondLength > 0 ? 2 : 1;
        ssize_t result;
        do {
            result = ::sendmsg(Handle, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (result < 0 && errno == EINTR);
        if (result < 0 && !WouldBlock(errno)) {
            RecordError(WinsockErrorFromErrno(errno), "SEND: ");
            Close();
            return false;
        }
        sent = result < 0 ? 0 : static_cast<size_t>(result);
    }
    RecordError(0, "SEND: ");
    if (sent == total)
        return true;
    if (QueuedBytes() + (total - sent) > static_cast<size_t>(std::max(MaxQueuedBytes, 0))) {
        RecordError(WSAENOBUFS_CODE, "SEND: ");
        return false;
    }
    if (m_queueHead > 0 && m_queueHead >= m_queue.size() / 2) {
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(m_queueHead));
        m_queueHead = 0;
    }
    if (sent < static_cast<size_t>(firstLength))
        m_queue.insert(m_queue.end(), first + sent, first + firstLength);
    const size_t secondSent = sent > static_cast<size_t>(firstLength) ? sent - firstLength : 0;
    if (secondLength > 0)
        m_queue.insert(m_queue.end(), second + secondSent, second + secondLength);
    EnableWriteNotifier(true);
    return true;
}

bool TZel_Socket::SetKeepAlive(bool on) {
    const int value = on ? 1 : 0;
    return ::setsockopt(Handle, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) == 0;
}

bool TZel_Socket::SetNoDelay(bool on) {
    const int value = on ? 1 : 0;
    return ::setsockopt(Handle, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

void TZel_Socket::AcceptPending() {
    TDeletionGuard guard(m_watch);
    while (State == TSocketState::Listening) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int handle =
            ::accept4(Handle, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle < 0) {
            const int err = errno;
            if (WouldBlock(err))
                return;
            // The connection went away while queued, or a signal came: try the next.
            if (err == EINTR || err == ECONNABORTED || err == EPROTO)
                continue;
            RecordError(WinsockErrorFromErrno(err), "ACCEPT: ");
            Log(0, LastErrorText);
            PauseAccepting();
            return;
        }
        auto connection = std::make_unique<TZel_Socket>();
        connection->Name = Name;
        connection->Address = Address;
        connection->Port = Port;
        connection->Transport = TSocketTransport::TCP;
        connection->Adopt(handle, peer);
        // Without an owner the connection is closed again at once.
        CallNotification(OnAccept, this, std::move(connection));
        if (guard.Deleted())
            return;
    }
}

void TZel_Socket::Adopt(int handle, const sockaddr_in& peer) {
    Handle = handle;
    SockAddr = peer;
    State = TSocketState::Connected;
    Busy = false;
    m_peerEnded = false;
    StartNotifiers();
}

void TZel_Socket::StartNotifiers() {
    ReleaseNotifiers();
    m_readNotifier = new QSocketNotifier(Handle, QSocketNotifier::Read);
    QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_readNotifier, [this] { ReadReady(); });
}

// The notifiers may be the very senders whose signal is being handled, so
// they are switched off now and deleted by the event loop.
void TZel_Socket::ReleaseNotifiers() {
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            QObject::disconnect(*notifier, nullptr, nullptr, nullptr);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    if (m_acceptPause) {
        m_acceptPause->stop();
        QObject::disconnect(m_acceptPause, nullptr, nullptr, nullptr);
        m_acceptPause->deleteLater();
        m_acceptPause = nullptr;
    }
}

void TZel_Socket::EnableWriteNotifier(bool on) {
    if (on && !m_writeNotifier && Handle >= 0) {
        m_writeNotifier = new QSocketNotifier(Handle, QSocketNotifier::Write);
        QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_writeNotifier,
                         [this] { WriteReady(); });
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(on);
}

void TZel_Socket::PauseReading(bool paused) {
    if (m_readNotifier && State == TSocketState::Connected && !m_peerEnded)
        m_readNotifier->setEnabled(!paused);
}

void TZel_Socket::PauseAccepting() {
    if (!m_readNotifier)
        return;
    m_readNotifier->setEnabled(false);
    if (!m_acceptPause) {
        m_acceptPause = new QTimer();
        m_acceptPause->setSingleShot(true);
        QObject::connect(m_acceptPause, &QTimer::timeout, m_acceptPause, [this] {
            if (m_readNotifier && State == TSocketState::Listening)
                m_readNotifier->setEnabled(true);
        });
    }
    m_acceptPause->start(ACCEPT_PAUSE_MS);
}

// Read readiness: pending connections on a listener; data, or the end of the
// connection, on a connected socket. The end is seen as a receive of nothing.
void TZel_Socket::ReadReady() {
    RecordError(0, "");
    if (State == TSocketState::Listening) {
        AcceptPending();
        return;
    }
    if (State != TSocketState::Connected) {
        ReleaseNotifiers();
        return;
    }
    int waiting = 0;
    if (::ioctl(Handle, FIONREAD, &waiting) != 0 || waiting <= 0) {
        char probe;
        const ssize_t peeked = ::recv(Handle, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0 && (WouldBlock(errno) || errno == EINTR))
            return;
        if (peeked == 0 && QueuedBytes() > 0) {
            // The peer has only ended its sending side and may still be
            // reading: the close event waits until the queue is delivered.
            m_peerEnded = true;
            m_readNotifier->setEnabled(false);
            return;
        }
        if (peeked <= 0) {
            CloseEvent(peeked == 0 ? 0 : WinsockErrorFromErrno(errno));
            return;
        }
        waiting = -1;
    }
    // The count just asked for answers the reader's first BytesWaiting: no
    // byte can be taken in between, so asking the kernel again is wasted.
    TDeletionGuard guard(m_watch);
    m_waitingHint = waiting;
    CallNotification(OnRead, this);
    if (!guard.Deleted())
        m_waitingHint = -1;
}

void TZel_Socket::WriteReady() {
    TDeletionGuard guard(m_watch);
    RecordError(0, "");
    if (!FlushQueue() || guard.Deleted())
        return;
    CallNotification(OnWrite, this);
}

// The close event: the connection has ended; the descriptor stays open until Close.
void TZel_Socket::CloseEvent(int32_t error) {
    RecordError(error, "");
    State = TSocketState::Closed;
    Busy = false;
    ReleaseNotifiers();
    Log(1, "disconnected");
    CallNotification(OnDisconnect, this);
}

// Writes queued bytes until the socket would block; once they are all out
// after the peer's end, raises the close event. False when a hard error
// closed the connection (the object may be gone then, as after the event).
bool TZel_Socket::FlushQueue() {
    while (m_queueHead < m_queue.size()) {
        const ssize_t sent = ::send(Handle, m_queue.data() + m_queueHead, m_queue.size() - m_queueHead,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            if (WouldBlock(err))
                return true;
            RecordError(WinsockErrorFromErrno(err), "SEND: ");
            Close();
            return false;
        }
        m_queueHead += static_cast<size_t>(sent);
    }
    m_queue.clear();
    m_queueHead = 0;
    if (m_queue.capacity() > KEPT_QUEUE_CAPACITY)
        m_queue.shrink_to_fit();
    EnableWriteNotifier(false);
    if (m_peerEnded)
        CloseEvent(0);
    return true;
}

void TZel_Socket::DiscardUnreadInput() {
    char scratch[4096];
    for (int discarded = 0; discarded < DISCARD_ON_CLOSE_BYTES;) {
        const ssize_t received = ::recv(Handle, scratch, sizeof scratch, MSG_DONTWAIT);
        if (received <= 0)
            break;
        discarded += static_cast<int>(received);
    }
}
