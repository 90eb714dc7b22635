#include "zel-pda/HandheldClient.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/Zel_Lib.h"
#include "protocol/Zel_ODBCQuery.h"

namespace Pda {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the events until the deadline; false when time ran out.
bool WaitFor(int handle, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{handle, events, 0};
        const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            throw EPdaProtocolError(std::string("poll: ") + std::strerror(errno));
    }
}

// A non-blocking connection to one address, finished within the deadline.
int ConnectTo(const addrinfo& address, const addrinfo* local, Clock::time_point deadline,
              std::string& error) {
    const int handle =
        ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (handle < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (local &&
        (local->ai_family != address.ai_family || ::bind(handle, local->ai_addr, local->ai_addrlen) != 0)) {
        error = local->ai_family != address.ai_family ? std::string("bind address of another family")
                                                      : std::string("bind: ") + std::strerror(errno);
        ::close(handle);
        return -1;
    }
    if (::connect(handle, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        error = std::strerror(errno);
        ::close(handle);
        return -1;
    }
    if (!WaitFor(handle, POLLOUT, deadline)) {
        error = "timed out";
        ::close(handle);
        return -1;
    }
    int status = 0;
    socklen_t length = sizeof status;
    ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &status, &length);
    if (status != 0) {
        error = std::strerror(status);
        ::close(handle);
        return -1;
    }
    const int noDelay = 1;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return handle;
}

} // namespace

THandheldClient::THandheldClient() = default;

THandheldClient::~THandheldClient() {
    Close();
}

void THandheldClient::Connect(const std::string& host, int port, int timeoutMs,
                              const std::string& bindAddress) {
    Close();
    TimeoutMs = timeoutMs;
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (rc != 0)
        throw EPdaProtocolError("cannot connect to " + where + ": " + ::gai_strerror(rc));
    addrinfo* local = nullptr;
    if (!bindAddress.empty()) {
        addrinfo localHints{};
        localHints.ai_family = AF_UNSPEC;
        localHints.ai_socktype = SOCK_STREAM;
        localHints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        const int localRc = ::getaddrinfo(bindAddress.c_str(), "0", &localHints, &local);
        if (localRc != 0) {
            ::freeaddrinfo(addresses);
            throw EPdaProtocolError("cannot connect from " + bindAddress + ": " + ::gai_strerror(localRc));
        }
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string error = "no address";
    for (addrinfo* address = addresses; address && m_handle < 0; address = address->ai_next)
        m_handle = ConnectTo(*address, local, deadline, error);
    ::freeaddrinfo(addresses);
    if (local)
        ::freeaddrinfo(local);
    if (m_handle < 0)
        throw EPdaProtocolError("cannot connect to " + where + ": " + error);
    // A new connection starts in the clear with a fresh scrambler.
    m_encoder = TZelWirelessEncoder();
}

void THandheldClient::Close() {
    if (m_handle >= 0)
        ::close(m_handle);
    m_handle = -1;
}

void THandheldClient::Trace(const char* direction, const TZelWirelessMessage& frame, const char* payload,
                            int count) {
    if (!OnTrace)
        return;
    OnTrace(std::string(direction) + " " + frame.Describe());
    OnTrace(std::string(direction) + " [" + PrintableText(payload, count) + "]");
}

void THandheldClient::SendFrame(const std::string& type, const std::string& payload) {
    m_send.Clear();
    m_send.MessageType = type;
    m_send.AppendBytes(payload.data(), static_cast<int>(payload.size()));
    m_send.DataLength = m_send.PayloadCount;
    m_send.BuildHeader();
    Trace(">>>>", m_send, payload.data(), static_cast<int>(payload.size()));
    WriteAll(std::string(m_send.Header.Data(), ZEL_HEADER_SIZE) + payload);
}

void THandheldClient::SendRaw(const std::string& bytes) {
    WriteAll(bytes);
}

void THandheldClient::WriteAll(std::string bytes) {
    if (m_handle < 0)
        throw EPdaProtocolError("not connected");
    m_encoder.EncodeSend(bytes.data(), static_cast<int>(bytes.size()));
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(m_handle, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(m_handle, POLLOUT, deadline))
                throw EPdaProtocolError("timed out sending to the server");
            continue;
        }
        throw EPdaProtocolError(std::string("sending failed: ") + std::strerror(errno));
    }
}

std::string THandheldClient::ReadExact(size_t count) {
    if (m_handle < 0)
        throw EPdaProtocolError("not connected");
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        const ssize_t received = ::recv(m_handle, bytes.data() + done, count - done, 0);
        if (received > 0) {
            done += static_cast<size_t>(received);
            continue;
        }
        if (received == 0)
            throw EPdaProtocolError("the server closed the connection");
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(m_handle, POLLIN, deadline))
                throw EPdaProtocolError("timed out waiting for the server's reply");
            continue;
        }
        throw EPdaProtocolError(std::string("receiving failed: ") + std::strerror(errno));
    }
    m_encoder.DecodeRecv(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

TFrame THandheldClient::ReadFrame() {
    m_read.Clear();
    const std::string header = ReadExact(ZEL_HEADER_SIZE);
    std::memcpy(m_read.Header.Data(), header.data(), ZEL_HEADER_SIZE);
    try {
        m_read.ParseHeader();
    } catch (const Exception& e) {
        throw EPdaProtocolError("bad frame from the server: " + e.Message());
    }
    TFrame frame;
    frame.Type = m_read.MessageType;
    frame.OutOfBand = m_read.OutOfBand;
    frame.Payload = ReadExact(static_cast<size_t>(m_read.DataLength));
    m_read.PayloadCount = m_read.DataLength;
    Trace("<<<<", m_read, frame.Payload.data(), static_cast<int>(frame.Payload.size()));
    // The key travels in the clear; every byte after this frame is scrambled.
    if (frame.Type == "PCHELO" && !m_encoder.Enabled && frame.Payload.size() >= kKeyLength) {
        m_encoder.SetKeyLength(kKeyLength);
        std::memcpy(m_encoder.Key.data(), frame.Payload.data() + frame.Payload.size() - kKeyLength,
                    kKeyLength);
        m_encoder.SendPos = 0;
        m_encoder.RecvPos = 0;
        m_encoder.SetEnabled(true);
    }
    return frame;
}

TFrame THandheldClient::Exchange(const std::string& type, const std::string& payload,
                                 const std::string& expectedType) {
    SendFrame(type, payload);
    TFrame reply = ReadFrame();
    if (reply.Type == "PCERR")
        throw EPdaServerError(ParseErrorReply(reply.Payload));
    if (reply.Type != expectedType)
        throw EPdaProtocolError("the server answered " + type + " with [" + reply.Type + "], expected " +
                                expectedType);
    return reply;
}

THelloReply THandheldClient::Hello(const std::string& version, const std::string& software) {
    return ParseHelloReply(Exchange("PDAHELO", HelloPayload(version, software), "PCHELO").Payload);
}

TStatusReply THandheldClient::Login(const TIdentity& identity) {
    return ParseLoginReply(Exchange("PDALOGIN", LoginPayload(identity), "PCLOGIN").Payload);
}

TStatusReply THandheldClient::SelectSession(int number, const std::string& sessionName,
                                            const std::string& plugin, const std::string& pluginVersion) {
    const std::string payload = SessionSelectPayload(number, sessionName, plugin, pluginVersion);
    return ParseSessionReply(Exchange("PDASSEL", payload, "PCSSEL").Payload);
}

std::vector<TDataRow> THandheldClient::Select(const TZel_QueryParam& param) {
    return ParseDataReply(Exchange("PDASELECT", RequestPayload(param, true), "PCDATA").Payload);
}

int THandheldClient::Count(const TZel_QueryParam& param) {
    return ParseCountReply(Exchange("PDACOUNT", RequestPayload(param, true), "PCCOUNT").Payload);
}

int THandheldClient::Post(const TZel_QueryParam& param) {
    return ParseCountReply(Exchange("PDAPOST", RequestPayload(param, false), "PCCOUNT").Payload);
}

int THandheldClient::Delete(const TZel_QueryParam& param) {
    return ParseCountReply(Exchange("PDADELETE", RequestPayload(param, false), "PCCOUNT").Payload);
}

void THandheldClient::Bye() {
    SendFrame("PDABYE", std::string());
}

} // namespace Pda
