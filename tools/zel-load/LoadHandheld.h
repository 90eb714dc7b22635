#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/WirelessEncoding.h"
#include "protocol/WirelessMessage.h"

// One simulated handheld on a non-blocking socket: the opening ("PDAHELO",
// "PDALOGIN", "PDASSEL"), then one request at a time. Frames are built,
// scrambled and parsed with the protocol's own frame and encoder objects;
// the owner feeds it readiness events and gets each complete reply.
class TLoadHandheld {
public:
    enum class TPhase { Connecting, Hello, Login, Select, Open, Closed };
    using FrameSink = std::function<void(TLoadHandheld& handheld, const std::string& type,
                                         const char* payload, int length)>;

    TLoadHandheld(int number, int session);
    ~TLoadHandheld();
    TLoadHandheld(const TLoadHandheld&) = delete;
    TLoadHandheld& operator=(const TLoadHandheld&) = delete;

    int Number() const { return m_number; }
    int Handle() const { return m_handle; }
    TPhase Phase() const { return m_phase; }
    bool WantsWrite() const { return m_phase == TPhase::Connecting || !m_out.empty(); }
    const std::string& Error() const { return m_error; }

    // Starts a non-blocking connect, from local when it is given; false with
    // Error set when it cannot.
    bool Connect(const sockaddr_in& address, const sockaddr_in* local = nullptr);
    // The serial number it logs in with: a prefix gives "<prefix><number>",
    // stable from run to run; without one it is unique to this process.
    std::string SerialPrefix;
    // Readiness of the socket. False when the connection ended (Error says why).
    bool Writable();
    // Complete frames of the opening are handled here; later ones go to onFrame.
    bool Readable(const FrameSink& onFrame);
    // Scrambles and sends the frame in msg (header built here).
    bool Send(TZelWirelessMessageSend& msg);
    TZelWirelessMessageSend& Message() { return m_send; }
    void Close();

private:
    bool Fail(const std::string& text);
    bool SendHello();
    bool Opening(const std::string& type, const char* payload, int length);
    bool Flush();

    int m_number;
    int m_session;
    int m_handle = -1;
    TPhase m_phase = TPhase::Closed;
    std::string m_error;
    TZelWirelessEncoder m_encoder;
    TZelWirelessMessageSend m_send;
    TZelWirelessMessageRead m_read;
    std::vector<char> m_in;
    size_t m_inStart = 0;
    size_t m_inEnd = 0;
    bool m_headerDecoded = false;
    std::string m_out; // bytes the socket has not taken yet, already scrambled
};
