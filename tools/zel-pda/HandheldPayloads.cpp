#include "zel-pda/HandheldPayloads.h"

#include <algorithm>

#include "base/Zel_Lib.h"
#include "protocol/WirelessMessage.h"
#include "protocol/Zel_ODBCQuery.h"

namespace Pda {

namespace {

constexpr int kHelloPayloadSize = 60;
constexpr int kLoginReplySize = 251;
constexpr int kSessionReplySize = 201;
constexpr int kRowHeaderSize = 10;    // "RD" + row number
constexpr int kColumnHeaderSize = 13; // "RK"/"RF" + field number + value length

std::string PayloadOf(const TZelWirelessMessageSend& msg) {
    return std::string(msg.Payload.Data(), static_cast<size_t>(msg.PayloadCount));
}

// A fixed-width field at offset, cut short where the payload ends.
std::string FieldAt(const std::string& payload, size_t offset, size_t width) {
    if (offset >= payload.size())
        return {};
    return GetFieldStr(payload.data(), static_cast<int>(offset),
                       static_cast<int>(std::min(width, payload.size() - offset)));
}

void RequireSize(const std::string& reply, const std::string& payload, size_t size) {
    if (payload.size() < size)
        throw EPdaProtocolError(reply + " reply too short [" + std::to_string(payload.size()) +
                                "] should be at least [" + std::to_string(size) + "]");
}

bool ReadFlag(const std::string& reply, const std::string& payload) {
    const char flag = payload.empty() ? '\0' : payload[0];
    if (flag != 'Y' && flag != 'N')
        throw EPdaProtocolError(reply + " reply has no Y/N flag");
    return flag == 'Y';
}

// Reads a field of digits only; anything else is a malformed reply.
int ReadNumber(const std::string& payload, size_t& position, int width, const char* what) {
    if (payload.size() - position < static_cast<size_t>(width))
        throw EPdaProtocolError("PCDATA reply ends inside the " + std::string(what) + " at byte " +
                                std::to_string(position));
    const std::string text = payload.substr(position, static_cast<size_t>(width));
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw EPdaProtocolError("PCDATA reply has no " + std::string(what) + " at byte " +
                                std::to_string(position) + " [" +
                                PrintableText(text.data(), static_cast<int>(text.size())) + "]");
    position += static_cast<size_t>(width);
    return TextToInt(text);
}

std::string ReadMarker(const std::string& payload, size_t position) {
    return payload.substr(position, 2);
}

void AppendItems(TZelWirelessMessageSend& msg, const char* type, const TZel_QueryFieldList& list) {
    for (int i = 0; i < list.Count(); ++i) {
        msg.AppendText(type, 2);
        msg.AppendInt(list.Get(i)->FieldNumber, 3);
    }
}

} // namespace

std::string HelloPayload(const std::string& version, const std::string& software) {
    TZelWirelessMessageSend msg;
    msg.AppendText(version, 30);
    msg.AppendText(software, 30);
    return PayloadOf(msg);
}

std::string LoginPayload(const TIdentity& identity) {
    TZelWirelessMessageSend msg;
    msg.AppendText(identity.UserName, 40);
    msg.AppendText("", 40); // not read by the server
    msg.AppendText(identity.SerialNumber, 40);
    msg.AppendText(identity.Model, 60);
    msg.AppendText(identity.OperatingSystem, 60);
    return PayloadOf(msg);
}

std::string SessionSelectPayload(int number, const std::string& sessionName, const std::string& plugin,
                                 const std::string& pluginVersion) {
    TZelWirelessMessageSend msg;
    msg.AppendInt(number, 5);
    msg.AppendText(plugin, 20);
    msg.AppendText(pluginVersion, 20);
    msg.AppendText("", 20); // not read by the server
    msg.AppendText(sessionName, 100);
    return PayloadOf(msg);
}

std::string RequestPayload(const TZel_QueryParam& param, bool rowWindow) {
    TZelWirelessMessageSend msg;
    if (rowWindow) {
        msg.AppendInt(param.StartRow, 8);
        msg.AppendInt(param.EndRow, 8);
    }
    AppendItems(msg, "SF", param.SelectFields);
    AppendItems(msg, "OF", param.OrderFields);
    for (int i = 0; i < param.WhereFields.Count(); ++i) {
        const TZel_QueryField& field = *param.WhereFields.Get(i);
        msg.AppendText(field.IsKey ? "WK" : "WF", 2);
        msg.AppendInt(field.FieldNumber, 3);
        msg.AppendInt(static_cast<int>(field.Value.size()), 8);
        msg.AppendText(field.Value, static_cast<int>(field.Value.size()));
    }
    return PayloadOf(msg);
}

THelloReply ParseHelloReply(const std::string& payload) {
    RequireSize("PCHELO", payload, kHelloReplySize);
    THelloReply reply;
    reply.Accepted = ReadFlag("PCHELO", payload);
    reply.ServerAddress = FieldAt(payload, 1, 60);
    reply.ServerName = FieldAt(payload, 61, 60);
    reply.ServerVersion = FieldAt(payload, 121, 20);
    reply.Message = FieldAt(payload, 141, 250);
    reply.Key = payload.substr(payload.size() - kKeyLength);
    return reply;
}

TStatusReply ParseLoginReply(const std::string& payload) {
    RequireSize("PCLOGIN", payload, kLoginReplySize);
    return {ReadFlag("PCLOGIN", payload), FieldAt(payload, 1, 250)};
}

TStatusReply ParseSessionReply(const std::string& payload) {
    RequireSize("PCSSEL", payload, kSessionReplySize);
    return {ReadFlag("PCSSEL", payload), FieldAt(payload, 1, 200)};
}

TErrorReply ParseErrorReply(const std::string& payload) {
    // Lenient on purpose: whatever text arrived is worth showing.
    return {FieldAt(payload, 1, 250), FieldAt(payload, 251, 250)};
}

std::vector<TDataRow> ParseDataReply(const std::string& payload) {
    std::vector<TDataRow> rows;
    size_t position = 0;
    while (position < payload.size()) {
        if (payload.size() - position < kRowHeaderSize || ReadMarker(payload, position) != "RD")
            throw EPdaProtocolError("PCDATA reply has no row marker at byte " + std::to_string(position));
        position += 2;
        TDataRow& row = rows.emplace_back();
        row.RowNumber = ReadNumber(payload, position, 8, "row number");
        while (position < payload.size() && ReadMarker(payload, position) != "RD") {
            const std::string marker = ReadMarker(payload, position);
            if (payload.size() - position < kColumnHeaderSize || (marker != "RK" && marker != "RF"))
                throw EPdaProtocolError("PCDATA reply has no column marker at byte " +
                                        std::to_string(position));
            position += 2;
            TDataColumn& column = row.Columns.emplace_back();
            column.IsKey = marker == "RK";
            column.FieldNumber = ReadNumber(payload, position, 3, "field number");
            const int length = ReadNumber(payload, position, 8, "value length");
            if (payload.size() - position < static_cast<size_t>(length))
                throw EPdaProtocolError("PCDATA reply ends inside the value of field " +
                                        std::to_string(column.FieldNumber) + " of row " +
                                        std::to_string(row.RowNumber));
            column.Value = payload.substr(position, static_cast<size_t>(length));
            position += static_cast<size_t>(length);
        }
    }
    return rows;
}

int ParseCountReply(const std::string& payload) {
    size_t position = 0;
    if (payload.size() < 8)
        throw EPdaProtocolError("PCCOUNT reply too short [" + std::to_string(payload.size()) +
                                "] should be at least [8]");
    try {
        return ReadNumber(payload, position, 8, "count");
    } catch (const EPdaProtocolError&) {
        throw EPdaProtocolError("PCCOUNT reply has no count [" + PrintableText(payload.data(), 8) + "]");
    }
}

} // namespace Pda
