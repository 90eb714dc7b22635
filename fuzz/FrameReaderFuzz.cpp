// Frame reading as a connection does it (TZelWirelessClient::DoReadData and
// ReadChunk, with the socket replaced by a byte stream): the peer's bytes
// arrive in segments of fuzzer-chosen sizes, each read notification takes at
// most one chunk of header and one of payload, and a refused header closes
// the connection. The frames read
// before the first refusal must be exactly those a one-pass parse of the
// whole stream finds, whatever the splits and the scrambling.
//
// Input: the stream, then control bytes taken from the back: flags (1: the
// stream is scrambled, 2: verbose logging), key length, segment cap (2
// bytes), split seed (4). A refused header ends the connection.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Zel_EventLogger.h"
#include "protocol/WirelessEncoding.h"
#include "protocol/WirelessMessage.h"

namespace {

struct Frame {
    std::string Type;
    bool OutOfBand = false;
    std::string Payload;
    bool operator==(const Frame&) const = default;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "frame reader: %s\n", what);
    std::abort();
}

// The connection's socket: bytes the peer has sent, delivered in segments.
class PeerStream {
public:
    PeerStream(std::string bytes, uint32_t seed, int cap)
        : m_bytes(std::move(bytes)), m_random(seed), m_segment(1, cap) {}

    int32_t Waiting() const { return static_cast<int32_t>(m_delivered - m_read); }
    bool MoreToSend() const { return m_delivered < m_bytes.size(); }
    bool Coin() { return m_random() & 1; }
    void Deliver() {
        m_delivered = std::min(m_bytes.size(), m_delivered + static_cast<size_t>(m_segment(m_random)));
    }
    int32_t Recv(char* buffer, int32_t size) {
        const int32_t count = std::min(size, Waiting());
        std::memcpy(buffer, m_bytes.data() + m_read, static_cast<size_t>(count));
        m_read += static_cast<size_t>(count);
        return count;
    }

private:
    std::string m_bytes;
    size_t m_delivered = 0;
    size_t m_read = 0;
    std::minstd_rand m_random;
    std::uniform_int_distribution<int> m_segment;
};

class Reader {
public:
    Reader(PeerStream& peer, TZelWirelessEncoder& encoder) : m_peer(peer), m_encoder(encoder) {}

    TZelWirelessMessageRead Msg;
    std::vector<Frame> Frames;

    // One read notification, step for step as DoReadData takes it; false when
    // the header was refused.
    bool Notify() {
        try {
            int32_t count = m_peer.Waiting();
            if (count <= 0)
                count = ZEL_HEADER_SIZE;
            if (!Msg.HeaderComplete) {
                ReadChunk(std::min(count, Msg.HeaderWanted()));
                if (!Msg.HeaderFilled())
                    return true;
                Msg.ParseHeader();
                if (GetVerbose() && Msg.Describe().empty())
                    Fail("empty description");
            }
            if (Msg.DataLength > 0) {
                const int32_t waiting = m_peer.Waiting();
                if (waiting <= 0)
                    return true;
                ReadChunk(std::min(waiting, Msg.PayloadWanted()));
            }
            if (Msg.Complete()) {
                Frames.push_back(
                    {Msg.MessageType, Msg.OutOfBand, std::string(Msg.Payload.Data(), Msg.PayloadCount)});
                Msg.Clear();
            }
            return true;
        } catch (const Exception&) {
            if (Msg.HeaderComplete)
                Fail("refused header left complete");
            return false;
        }
    }

    void CheckState() const {
        if (Msg.Header.Size() != ZEL_HEADER_SIZE || Msg.Payload.Position != Msg.PayloadCount ||
            Msg.Payload.Size() > ZEL_MAX_PAYLOAD)
            Fail("buffers out of step");
        if (Msg.HeaderComplete) {
            if (Msg.BytesRead != ZEL_HEADER_SIZE + Msg.PayloadCount || Msg.PayloadCount < 0 ||
                Msg.PayloadCount >= Msg.DataLength || Msg.DataLength > ZEL_MAX_PAYLOAD)
                Fail("payload count out of step");
        } else if (Msg.PayloadCount != 0 || Msg.Header.Position != Msg.BytesRead ||
                   Msg.BytesRead > ZEL_HEADER_SIZE) {
            Fail("header count out of step");
        }
    }

private:
    void ReadChunk(int32_t n) {
        if (n <= 0)
            return;
        char* place = Msg.Reserve(n);
        const int32_t received = m_peer.Recv(place, n);
        if (received <= 0)
            return;
        m_encoder.DecodeRecv(place, received);
        Msg.Received(received);
    }

    PeerStream& m_peer;
    TZelWirelessEncoder& m_encoder;
};

std::string Field(const std::string& bytes, size_t offset, size_t width) {
    const std::string field = bytes.substr(offset, width);
    return field.substr(0, field.find('\0'));
}

// Signed decimal with leading blanks; anything else reads as 0.
int LengthField(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return 0;
    const size_t digits = first + ((text[first] == '-' || text[first] == '+') ? 1 : 0);
    if (digits >= text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return 0;
    return std::atoi(text.c_str() + first);
}

// The frames of the clear stream in one pass, written apart from the reader.
// consumed: bytes of the complete frames; refused: a bad header follows them.
std::vector<Frame> ParseWhole(const std::string& bytes, size_t& consumed, bool& refused) {
    std::vector<Frame> frames;
    consumed = 0;
    refused = false;
    while (bytes.size() - consumed >= ZEL_HEADER_SIZE) {
        const std::string id = Field(bytes, consumed, 2);
        const std::string flag = Field(bytes, consumed + 2, 1);
        const int length = LengthField(Field(bytes, consumed + 12, 5));
        if (id != "ZW" || length < 0) {
            refused = true;
            break;
        }
        if (bytes.size() - consumed - ZEL_HEADER_SIZE < static_cast<size_t>(length))
            break;
        frames.push_back({Field(bytes, consumed + 3, 9), flag == "Y" || flag == "1",
                          bytes.substr(consumed + ZEL_HEADER_SIZE, static_cast<size_t>(length))});
        consumed += ZEL_HEADER_SIZE + static_cast<size_t>(length);
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const uint8_t flags = input.ConsumeIntegral<uint8_t>();
    const int keyLength = input.ConsumeIntegral<uint8_t>();
    const int cap = input.ConsumeIntegral<uint16_t>() + 1;
    const uint32_t seed = input.ConsumeIntegral<uint32_t>();
    const std::string stream = input.ConsumeRemainingBytesAsString();
    SetVerbose(flags & 2);

    TZelWirelessEncoder encoder;
    if ((flags & 1) && keyLength > 0) {
        encoder.SetKeyLength(keyLength);
        std::minstd_rand keyBytes(seed);
        for (uint8_t& byte : encoder.Key)
            byte = static_cast<uint8_t>(keyBytes() % 254 + 1);
        encoder.SetEnabled(true);
    }
    TZelWirelessEncoder wholeDecoder = encoder;
    std::string clear = stream;
    wholeDecoder.DecodeRecv(clear.data(), static_cast<int>(clear.size()));

    PeerStream peer(stream, seed, cap);
    Reader reader(peer, encoder);
    bool refused = false;
    size_t framesBeforeRefusal = 0;
    for (size_t notifications = 0;; ++notifications) {
        if (notifications > 2 * stream.size() + 2)
            Fail("notifications without progress");
        if (peer.MoreToSend() && (peer.Waiting() == 0 || peer.Coin()))
            peer.Deliver();
        if (peer.Waiting() == 0)
            break;
        if (!reader.Notify()) {
            if (!refused)
                framesBeforeRefusal = reader.Frames.size();
            refused = true;
            // The connection closes on a refused header: nothing after it is read.
            break;
        }
        reader.CheckState();
    }
    if (!refused)
        framesBeforeRefusal = reader.Frames.size();

    size_t consumed = 0;
    bool wholeRefused = false;
    const std::vector<Frame> expected = ParseWhole(clear, consumed, wholeRefused);
    if (refused != wholeRefused)
        Fail("refusal differs from the one-pass parse");
    if (!std::equal(expected.begin(), expected.end(), reader.Frames.begin(),
                    reader.Frames.begin() + static_cast<std::ptrdiff_t>(framesBeforeRefusal)) ||
        expected.size() != framesBeforeRefusal)
        Fail("frames differ from the one-pass parse");
    if (!refused && static_cast<size_t>(reader.Msg.BytesRead) != clear.size() - consumed)
        Fail("bytes of the unfinished frame lost");
    return 0;
}
