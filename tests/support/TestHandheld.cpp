#include "support/TestHandheld.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t HEADER_SIZE = 17;
constexpr size_t KEY_OFFSET = 391;
constexpr size_t KEY_SIZE = 200;

} // namespace

int FreeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

std::string THandheldFrame::Text(size_t offset, size_t width) const {
    if (offset >= Payload.size())
        return {};
    const std::string field = Payload.substr(offset, width);
    return field.substr(0, field.find('\0'));
}

std::string FixedField(const std::string& text, size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, '\0');
    return field;
}

std::string BuildFrame(const std::string& type, const std::string& payload, bool outOfBand) {
    char length[8];
    std::snprintf(length, sizeof length, "%05zu", payload.size());
    return "ZW" + std::string(outOfBand ? "Y" : "N") + FixedField(type, 9) + length + payload;
}

std::string HelloPayload(const std::string& version, const std::string& software) {
    return FixedField(version, 30) + FixedField(software, 30);
}

std::string LoginPayload(const std::string& user, const std::string& serial, const std::string& model,
                         const std::string& os) {
    return FixedField(user, 40) + FixedField("unused", 40) + FixedField(serial, 40) + FixedField(model, 60) +
           FixedField(os, 60);
}

std::string SessionPayload(const std::string& number, const std::string& name, const std::string& plugin,
                           const std::string& pluginVersion) {
    return FixedField(number, 5) + FixedField(plugin, 20) + FixedField(pluginVersion, 20) +
           FixedField("unused", 20) + FixedField(name, 100);
}

std::string WhereItem(const std::string& type, int field, const std::string& value) {
    char head[16];
    std::snprintf(head, sizeof head, "%.2s%03d%08zu", type.c_str(), field, value.size());
    return head + value;
}

TTestHandheld::~TTestHandheld() {
    Close();
}

bool TTestHandheld::Connect(int port, int timeoutMs, int receiveBuffer) {
    Close();
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_handle < 0)
        return false;
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_handle, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int noDelay = 1;
    ::setsockopt(m_handle, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    if (receiveBuffer > 0)
        ::setsockopt(m_handle, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (!BindAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, BindAddress.c_str(), &local.sin_addr) != 1 ||
            ::bind(m_handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return false;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    Scrambling = false;
    Key.clear();
    SendPos = RecvPos = 0;
    return true;
}

void TTestHandheld::Close() {
    if (m_handle >= 0)
        ::close(m_handle);
    m_handle = -1;
}

void TTestHandheld::Reset() {
    if (m_handle < 0)
        return;
    const linger abort{1, 0};
    ::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close();
}

void TTestHandheld::HalfClose() {
    if (m_handle >= 0)
        ::shutdown(m_handle, SHUT_WR);
}

bool TTestHandheld::SendBytes(const std::string& bytes) {
    std::string wire = bytes;
    if (Scrambling)
        for (char& c : wire) {
            c = static_cast<char>(static_cast<uint8_t>(c) ^ Key[SendPos]);
            SendPos = (SendPos + 1) % Key.size();
        }
    size_t done = 0;
    while (done < wire.size()) {
        const ssize_t sent = ::send(m_handle, wire.data() + done, wire.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool TTestHandheld::SendFrame(const std::string& type, const std::string& payload) {
    return SendBytes(BuildFrame(type, payload));
}

std::string TTestHandheld::ReadBytes(size_t n) {
    std::string bytes(n, '\0');
    size_t done = 0;
    while (done < n) {
        const ssize_t received = ::recv(m_handle, bytes.data() + done, n - done, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break;
        done += static_cast<size_t>(received);
    }
    bytes.resize(done);
    if (Scrambling)
        for (char& c : bytes) {
            c = static_cast<char>(static_cast<uint8_t>(c) ^ Key[RecvPos]);
            RecvPos = (RecvPos + 1) % Key.size();
        }
    return bytes;
}

THandheldFrame TTestHandheld::ReadFrame() {
    THandheldFrame frame;
    const std::string header = ReadBytes(HEADER_SIZE);
    if (header.size() != HEADER_SIZE)
        return frame;
    frame.HeaderId = header.substr(0, 2);
    frame.OutOfBand = header[2] == 'Y';
    frame.Type = header.substr(3, 9).substr(0, header.substr(3, 9).find('\0'));
    const size_t length = std::stoul(header.substr(12, 5));
    frame.Payload = ReadBytes(length);
    frame.Received = frame.Payload.size() == length;
    // The key arrives in the clear; every byte after this frame is scrambled.
    if (frame.Received && frame.Type == "PCHELO" && !Scrambling && length >= KEY_OFFSET + KEY_SIZE) {
        const std::string key = frame.Payload.substr(KEY_OFFSET, KEY_SIZE);
        Key.assign(key.begin(), key.end());
        Scrambling = true;
        SendPos = RecvPos = 0;
    }
    return frame;
}

bool TTestHandheld::WaitClosed() {
    char scratch[4096];
    for (;;) {
        const ssize_t received = ::recv(m_handle, scratch, sizeof scratch, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received == 0)
            return true;
        if (received < 0)
            return errno == ECONNRESET;
    }
}

THandheldFrame TTestHandheld::Hello() {
    SendFrame("PDAHELO", HelloPayload());
    return ReadFrame();
}

THandheldFrame TTestHandheld::Login(const std::string& user, const std::string& serial) {
    SendFrame("PDALOGIN", LoginPayload(user, serial));
    return ReadFrame();
}

THandheldFrame TTestHandheld::SelectSession(int number, const std::string& name) {
    SendFrame("PDASSEL", SessionPayload(std::to_string(number), name));
    return ReadFrame();
}
