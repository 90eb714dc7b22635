#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A loopback port that nothing listens on at the moment of the call.
int FreeLoopbackPort();

// One frame as the handheld received it, unscrambled.
struct THandheldFrame {
    bool Received = false; // false: the stream ended or timed out first
    std::string HeaderId;
    bool OutOfBand = false;
    std::string Type;
    std::string Payload;

    // The fixed-width text field at offset, read up to its first NUL.
    std::string Text(size_t offset, size_t width) const;
};

// A fixed-width field: text cut to width, NUL-filled.
std::string FixedField(const std::string& text, size_t width);
// The 17-byte header and the payload, in the clear.
std::string BuildFrame(const std::string& type, const std::string& payload, bool outOfBand = false);

// Payloads of the opening exchanges, laid out as a handheld sends them.
std::string HelloPayload(const std::string& version = "1.0", const std::string& software = "zel-test");
std::string LoginPayload(const std::string& user, const std::string& serial, const std::string& model = "T1",
                         const std::string& os = "TestOS");
std::string SessionPayload(const std::string& number, const std::string& name = "test session",
                           const std::string& plugin = "plug", const std::string& pluginVersion = "2.0");
// A field item of a data request ("WK", "WF", "SF", "OF"): the type, the
// field number in 3 digits, the value's length in 8 digits, the value.
std::string WhereItem(const std::string& type, int field, const std::string& value);

// A handheld on a blocking loopback socket with timeouts, for tests. It
// frames, scrambles and unscrambles on its own (independently of the
// server's code): after the first "PCHELO" it takes the key from the reply
// and scrambles every later byte in both directions, one key position per
// byte and direction. Use it from RunPumping steps.
class TTestHandheld {
public:
    TTestHandheld() = default;
    ~TTestHandheld();
    TTestHandheld(const TTestHandheld&) = delete;
    TTestHandheld& operator=(const TTestHandheld&) = delete;

    // receiveBuffer > 0 shrinks the socket's receive buffer before connecting.
    bool Connect(int port, int timeoutMs = 5000, int receiveBuffer = 0);
    void Close();
    // Ends the connection with a reset instead of an orderly close.
    void Reset();
    // Stops sending; the server sees the end of the stream, the handheld can still read.
    void HalfClose();
    int Handle() const { return m_handle; }

    // Writes the bytes, scrambled once scrambling is on.
    bool SendBytes(const std::string& bytes);
    bool SendFrame(const std::string& type, const std::string& payload);
    // Up to n bytes, unscrambled; fewer when the stream ends or times out.
    std::string ReadBytes(size_t n);
    THandheldFrame ReadFrame();
    // True when the server ends the connection within the timeout; what
    // arrives before the end is discarded.
    bool WaitClosed();

    THandheldFrame Hello();
    THandheldFrame Login(const std::string& user, const std::string& serial);
    THandheldFrame SelectSession(int number, const std::string& name = "test session");

    // The loopback address the handheld connects from (e.g. "127.0.0.2"); empty: any.
    std::string BindAddress;
    bool Scrambling = false;
    std::vector<uint8_t> Key;
    size_t SendPos = 0;
    size_t RecvPos = 0;

private:
    int m_handle = -1;
};
