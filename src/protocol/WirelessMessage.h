#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Frame header: "ZW", out-of-band flag, 9-character type, 5-digit length.
constexpr int ZEL_HEADER_SIZE = 17;
// The five-digit length field cannot state more.
constexpr int ZEL_MAX_PAYLOAD = 99999;

// A growable byte buffer with a current position; it keeps its storage when
// cleared so that a connection's frames allocate only while they grow.
class TZelByteBuffer {
public:
    char* Data() { return m_bytes.data(); }
    const char* Data() const { return m_bytes.data(); }
    int Size() const { return static_cast<int>(m_bytes.size()); }
    void Resize(int size) { m_bytes.resize(static_cast<size_t>(size)); }
    // Room for count more bytes at Position; the storage grows when needed.
    char* Reserve(int count);
    int Position = 0;

private:
    std::vector<char> m_bytes;
};

class TZelWirelessMessage {
public:
    TZelWirelessMessage();

    std::string HeaderId;
    bool OutOfBand = false;
    std::string MessageType;
    int32_t DataLength = 0;
    TZelByteBuffer Header;
    int32_t PayloadCount = 0;
    TZelByteBuffer Payload;
    int32_t BytesRead = 0;
    bool HeaderComplete = false;

    void Clear();
    std::string Describe() const;
};

// Frame assembly, socket-free: the reader asks how many bytes the frame wants
// next, puts at most that many at Reserve() and reports them with Received().
// The header comes first and is parsed (ParseHeader) once it is filled; the
// frame is complete when the payload holds DataLength bytes.
class TZelWirelessMessageRead : public TZelWirelessMessage {
public:
    int32_t HeaderWanted() const { return HeaderComplete ? 0 : ZEL_HEADER_SIZE - BytesRead; }
    bool HeaderFilled() const { return BytesRead == ZEL_HEADER_SIZE; }
    int32_t PayloadWanted() const { return DataLength - PayloadCount; }
    bool Complete() const { return HeaderComplete && PayloadCount == DataLength; }
    // Room for count bytes of the header until it is complete, then of the payload.
    char* Reserve(int32_t count);
    void Received(int32_t count);

    // Raises Exception "Invalid HeaderId [..]" (or "Invalid DataLength [..]"
    // for a negative length) and leaves HeaderComplete false.
    void ParseHeader();
};

class TZelWirelessMessageSend : public TZelWirelessMessage {
public:
    void AppendText(const std::string& text, int width);
    void AppendInt(int number, int width);
    void AppendBytes(const char* bytes, int count);
    // Raises Exception when the payload is longer than the length field can state.
    void BuildHeader();

private:
    // The next count bytes of the payload, counted as appended; the caller fills them.
    char* NextField(int count);
};
