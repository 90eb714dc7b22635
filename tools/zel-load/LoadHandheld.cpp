#include "LoadHandheld.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Zel_Lib.h"

namespace {

constexpr int kHelloReplyFixed = 391; // "PCHELO" payload before the key bytes
constexpr size_t kFirstBuffer = 2048;
constexpr size_t kReadChunk = 16384;

} // namespace

TLoadHandheld::TLoadHandheld(int number, int session) : m_number(number), m_session(session) {}

TLoadHandheld::~TLoadHandheld() {
    Close();
}

void TLoadHandheld::Close() {
    if (m_handle >= 0)
        ::close(m_handle);
    m_handle = -1;
    m_phase = TPhase::Closed;
}

bool TLoadHandheld::Fail(const std::string& text) {
    if (m_error.empty())
        m_error = text;
    Close();
    return false;
}

bool TLoadHandheld::Connect(const sockaddr_in& address, const sockaddr_in* local) {
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_handle < 0)
        return Fail(std::string("socket: ") + std::strerror(errno));
    if (local && ::bind(m_handle, reinterpret_cast<const sockaddr*>(local), sizeof *local) != 0)
        return Fail(std::string("bind: ") + std::strerror(errno));
    const int on = 1;
    ::setsockopt(m_handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_phase = TPhase::Connecting;
    if (::connect(m_handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS)
        return Fail(std::string("connect: ") + std::strerror(errno));
    return true;
}

bool TLoadHandheld::Writable() {
    if (m_phase == TPhase::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            return Fail(std::string("connect: ") + std::strerror(error));
        return SendHello();
    }
    return Flush();
}

bool TLoadHandheld::Flush() {
    while (!m_out.empty()) {
        const ssize_t sent = ::send(m_handle, m_out.data(), m_out.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            return Fail(std::string("send: ") + std::strerror(errno));
        }
        m_out.erase(0, static_cast<size_t>(sent));
    }
    return true;
}

bool TLoadHandheld::Send(TZelWirelessMessageSend& msg) {
    msg.DataLength = msg.PayloadCount;
    msg.BuildHeader();
    m_encoder.EncodeSend(msg.Header.Data(), ZEL_HEADER_SIZE);
    m_encoder.EncodeSend(msg.Payload.Data(), msg.PayloadCount);
    if (!m_out.empty()) {
        m_out.append(msg.Header.Data(), ZEL_HEADER_SIZE);
        m_out.append(msg.Payload.Data(), static_cast<size_t>(msg.PayloadCount));
        return Flush();
    }
    iovec parts[2] = {{msg.Header.Data(), ZEL_HEADER_SIZE},
                      {msg.Payload.Data(), static_cast<size_t>(msg.PayloadCount)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = msg.PayloadCount > 0 ? 2 : 1;
    ssize_t sent = ::sendmsg(m_handle, &message, MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail(std::string("send: ") + std::strerror(errno));
        sent = 0;
    }
    size_t done = static_cast<size_t>(sent);
    for (const iovec& part : parts) {
        if (done >= part.iov_len) {
            done -= part.iov_len;
            continue;
        }
        m_out.append(static_cast<const char*>(part.iov_base) + done, part.iov_len - done);
        done = 0;
    }
    return true;
}

bool TLoadHandheld::SendHello() {
    m_phase = TPhase::Hello;
    m_send.Clear();
    m_send.MessageType = "PDAHELO";
    m_send.AppendText("1.0", 30);
    m_send.AppendText("zel-load", 30);
    return Send(m_send);
}

bool TLoadHandheld::Readable(const FrameSink& onFrame) {
    if (m_in.size() - m_inEnd < kReadChunk / 2) {
        if (m_inStart > 0) {
            std::memmove(m_in.data(), m_in.data() + m_inStart, m_inEnd - m_inStart);
            m_inEnd -= m_inStart;
            m_inStart = 0;
        }
        if (m_in.size() - m_inEnd < kReadChunk / 2)
            m_in.resize(std::max(m_in.size() * 2, kFirstBuffer));
    }
    const ssize_t got = ::recv(m_handle, m_in.data() + m_inEnd, m_in.size() - m_inEnd, 0);
    if (got == 0)
        return Fail("the server closed the connection");
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        return Fail(std::string("recv: ") + std::strerror(errno));
    }
    m_inEnd += static_cast<size_t>(got);
    // Bytes are unscrambled frame by frame: the key changes after "PCHELO".
    while (m_handle >= 0) {
        char* frame = m_in.data() + m_inStart;
        const size_t available = m_inEnd - m_inStart;
        if (!m_headerDecoded) {
            if (available < ZEL_HEADER_SIZE)
                break;
            m_encoder.DecodeRecv(frame, ZEL_HEADER_SIZE);
            m_read.Clear();
            std::memcpy(m_read.Header.Data(), frame, ZEL_HEADER_SIZE);
            m_read.BytesRead = ZEL_HEADER_SIZE;
            try {
                m_read.ParseHeader();
            } catch (const std::exception& e) {
                return Fail(std::string("bad reply header: ") + e.what());
            }
            m_headerDecoded = true;
        }
        const size_t total = ZEL_HEADER_SIZE + static_cast<size_t>(m_read.DataLength);
        if (available < total)
            break;
        char* payload = frame + ZEL_HEADER_SIZE;
        m_encoder.DecodeRecv(payload, m_read.DataLength);
        m_headerDecoded = false;
        m_inStart += total;
        if (m_phase != TPhase::Open) {
            if (!Opening(m_read.MessageType, payload, m_read.DataLength))
                return false;
        } else {
            onFrame(*this, m_read.MessageType, payload, m_read.DataLength);
        }
    }
    if (m_inStart == m_inEnd)
        m_inStart = m_inEnd = 0;
    return m_handle >= 0;
}

bool TLoadHandheld::Opening(const std::string& type, const char* payload, int length) {
    const bool accepted = length > 0 && payload[0] == 'Y';
    if (type == "PCERR")
        return Fail("PCERR during the opening: " + GetFieldStr(payload, 1, std::min(length - 1, 250)));
    switch (m_phase) {
    case TPhase::Hello: {
        if (type != "PCHELO" || !accepted || length <= kHelloReplyFixed)
            return Fail("unexpected reply to PDAHELO: " + type);
        const int keyLength = length - kHelloReplyFixed;
        m_encoder.SetKeyLength(keyLength);
        std::memcpy(m_encoder.Key.data(), payload + kHelloReplyFixed, static_cast<size_t>(keyLength));
        m_encoder.SetEnabled(true);
        m_phase = TPhase::Login;
        m_send.Clear();
        m_send.MessageType = "PDALOGIN";
        m_send.AppendText("load" + std::to_string(m_number), 40);
        m_send.AppendText("", 40);
        m_send.AppendText(SerialPrefix.empty()
                              ? "LOAD-" + std::to_string(::getpid()) + "-" + std::to_string(m_number)
                              : SerialPrefix + std::to_string(m_number),
                          40);
        m_send.AppendText("zel-load", 60);
        m_send.AppendText("Linux", 60);
        return Send(m_send);
    }
    case TPhase::Login:
        if (type != "PCLOGIN" || !accepted)
            return Fail("login refused: " + type);
        m_phase = TPhase::Select;
        m_send.Clear();
        m_send.MessageType = "PDASSEL";
        m_send.AppendInt(m_session, 5);
        m_send.AppendText("zel-load", 20);
        m_send.AppendText("1.0", 20);
        m_send.AppendText("", 20);
        m_send.AppendText("benchmark", 100);
        return Send(m_send);
    case TPhase::Select:
        if (type != "PCSSEL" || !accepted)
            return Fail("session not selected: " +
                        GetFieldStr(payload, 1, std::max(std::min(length - 1, 200), 0)));
        m_phase = TPhase::Open;
        return true;
    default:
        return Fail("unexpected frame " + type);
    }
}
