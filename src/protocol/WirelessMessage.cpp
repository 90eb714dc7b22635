#include "protocol/WirelessMessage.h"

#include <charconv>
#include <cstring>

#include "base/Exception.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"

char* TZelByteBuffer::Reserve(int count) {
    if (Size() < Position + count)
        Resize(Position + count);
    return Data() + Position;
}

TZelWirelessMessage::TZelWirelessMessage() {
    Clear();
}

void TZelWirelessMessage::Clear() {
    HeaderId = "ZW";
    OutOfBand = false;
    MessageType.clear();
    DataLength = 0;
    Header.Resize(ZEL_HEADER_SIZE);
    Header.Position = 0;
    PayloadCount = 0;
    Payload.Position = 0;
    BytesRead = 0;
    HeaderComplete = false;
}

std::string TZelWirelessMessage::Describe() const {
    return "hi[" + HeaderId + "] oob[" + BoolToYN(OutOfBand) + "] mt[" + MessageType + "] dl[" +
           std::to_string(DataLength) + "] buf[" + PrintableText(Header.Data(), ZEL_HEADER_SIZE) + "]";
}

void TZelWirelessMessageRead::ParseHeader() {
    int position = 0;
    const char* bytes = Header.Data();
    HeaderId = ReadFieldStr(bytes, position, 2);
    OutOfBand = TextToBool(ReadFieldStr(bytes, position, 1));
    MessageType = ReadFieldStr(bytes, position, 9);
    const std::string lengthText = GetFieldStr(bytes, position, 5);
    DataLength = ReadFieldInt(bytes, position, 5);
    if (HeaderId != "ZW") {
        std::string message = "Invalid HeaderId [" + HeaderId + "]";
        if (GetVerbose())
            message += " in [" + Describe() + "]";
        throw Exception(message);
    }
    // A negative length could never complete: refuse it like a bad identifier.
    if (DataLength < 0) {
        std::string message = "Invalid DataLength [" + lengthText + "]";
        if (GetVerbose())
            message += " in [" + Describe() + "]";
        throw Exception(message);
    }
    HeaderComplete = true;
}

char* TZelWirelessMessageRead::Reserve(int32_t count) {
    return (HeaderComplete ? Payload : Header).Reserve(count);
}

void TZelWirelessMessageRead::Received(int32_t count) {
    if (HeaderComplete) {
        Payload.Position += count;
        PayloadCount += count;
    } else {
        Header.Position += count;
    }
    BytesRead += count;
}

char* TZelWirelessMessageSend::NextField(int count) {
    char* field = Payload.Reserve(count);
    Payload.Position += count;
    PayloadCount += count;
    return field;
}

void TZelWirelessMessageSend::AppendText(const std::string& text, int width) {
    if (width <= 0)
        return;
    char* field = NextField(width);
    // An over-long text keeps width - 1 characters so that the field ends in a NUL.
    const size_t copied =
        text.size() > static_cast<size_t>(width) ? static_cast<size_t>(width - 1) : text.size();
    std::memcpy(field, text.data(), copied);
    std::memset(field + copied, 0, static_cast<size_t>(width) - copied);
}

// AppendText of ZeroPadInt, written in place without building the text.
void TZelWirelessMessageSend::AppendInt(int number, int width) {
    if (width <= 0)
        return;
    char digits[16];
    const auto converted = std::to_chars(digits, digits + sizeof digits, number);
    const int length = static_cast<int>(converted.ptr - digits);
    char* field = NextField(width);
    if (length <= width) {
        std::memset(field, '0', static_cast<size_t>(width - length));
        std::memcpy(field + (width - length), digits, static_cast<size_t>(length));
    } else {
        std::memcpy(field, digits, static_cast<size_t>(width - 1));
        field[width - 1] = '\0';
    }
}

void TZelWirelessMessageSend::AppendBytes(const char* bytes, int count) {
    if (count <= 0)
        return;
    std::memcpy(NextField(count), bytes, static_cast<size_t>(count));
}

void TZelWirelessMessageSend::BuildHeader() {
    if (DataLength > ZEL_MAX_PAYLOAD || DataLength < 0)
        throw Exception("Payload of " + std::to_string(DataLength) +
                        " bytes is too long for a frame (at most " + std::to_string(ZEL_MAX_PAYLOAD) + ")");
    char* bytes = Header.Data();
    PutFieldStr(bytes, 0, 2, "ZW");
    PutFieldStr(bytes, 2, 1, BoolToYN(OutOfBand));
    PutFieldStr(bytes, 3, 9, MessageType);
    PutFieldInt(bytes, 12, 5, DataLength);
}
