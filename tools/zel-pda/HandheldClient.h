#pragma once

#include <functional>
#include <string>
#include <vector>

#include "protocol/WirelessEncoding.h"
#include "protocol/WirelessMessage.h"
#include "zel-pda/HandheldPayloads.h"

class TZel_QueryParam;

namespace Pda {

// A request answered with "PCERR"; carries the server's texts.
class EPdaServerError : public Exception {
public:
    explicit EPdaServerError(const TErrorReply& reply) : Exception(reply.Message), Reply(reply) {}
    const char* ClassName() const override { return "EPdaServerError"; }
    TErrorReply Reply;
};

// One frame as received, unscrambled.
struct TFrame {
    std::string Type;
    bool OutOfBand = false;
    std::string Payload;
};

// A handheld on a blocking TCP connection. Every wait is bounded by the
// timeout and raises EPdaProtocolError when it runs out. Frames travel in
// the clear until "PCHELO" has been received; its last 200 bytes are the
// key, and from then on every byte in both directions, headers included, is
// XORed with it, each direction with its own position from 0.
class THandheldClient {
public:
    THandheldClient();
    ~THandheldClient();
    THandheldClient(const THandheldClient&) = delete;
    THandheldClient& operator=(const THandheldClient&) = delete;

    // Raises EPdaProtocolError when the server cannot be reached in time.
    // bindAddress: the local address to connect from, empty for any.
    void Connect(const std::string& host, int port, int timeoutMs, const std::string& bindAddress = {});
    void Close();
    bool IsConnected() const { return m_handle >= 0; }
    int TimeoutMs = 30000;

    // Frame level, for requests of any shape.
    void SendFrame(const std::string& type, const std::string& payload);
    // Bytes as they are (scrambled once scrambling is on), for broken frames.
    void SendRaw(const std::string& bytes);
    TFrame ReadFrame();
    // Sends the request and reads the reply; "PCERR" raises EPdaServerError,
    // any type but expectedType raises EPdaProtocolError.
    TFrame Exchange(const std::string& type, const std::string& payload, const std::string& expectedType);

    // The opening exchanges. A refusal ("N") is returned, not raised.
    THelloReply Hello(const std::string& version, const std::string& software);
    TStatusReply Login(const TIdentity& identity);
    TStatusReply SelectSession(int number, const std::string& sessionName, const std::string& plugin,
                               const std::string& pluginVersion);

    // Data requests: one frame each way.
    std::vector<TDataRow> Select(const TZel_QueryParam& param);
    int Count(const TZel_QueryParam& param);
    int Post(const TZel_QueryParam& param);
    int Delete(const TZel_QueryParam& param);
    // "PDABYE": the server closes without a reply.
    void Bye();

    const TZelWirelessEncoder& Encoder() const { return m_encoder; }

    // Receives one line per frame header and one per payload, in the clear.
    std::function<void(const std::string&)> OnTrace;

private:
    void WriteAll(std::string bytes);
    std::string ReadExact(size_t count);
    void Trace(const char* direction, const TZelWirelessMessage& frame, const char* payload, int count);

    int m_handle = -1;
    TZelWirelessEncoder m_encoder;
    TZelWirelessMessageSend m_send;
    TZelWirelessMessageRead m_read;
};

} // namespace Pda
