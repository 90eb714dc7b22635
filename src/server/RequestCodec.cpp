#include "server/RequestCodec.h"

#include <string_view>

#include "base/Exception.h"
#include "base/Zel_Lib.h"
#include "protocol/WirelessMessage.h"

namespace {

constexpr int kRowWindowSize = 16;
constexpr int kItemHeaderSize = 5;  // type (2) + field number (3)
constexpr int kValueLengthSize = 8; // after "WK"/"WF" items

} // namespace

void ParseRowWindow(TZel_Query& query, const char* payload, int payloadCount, int& position) {
    if (payloadCount < kRowWindowSize)
        return;
    query.Param.StartRow = ReadFieldInt(payload, position, 8);
    query.Param.EndRow = ReadFieldInt(payload, position, 8);
}

void ParseFieldItems(TZel_Query& query, const char* payload, int payloadCount, int& position) {
    TZel_QueryParam& param = query.Param;
    while (payloadCount >= position + kItemHeaderSize) {
        // The two type bytes are compared in place; the text is built only for a failure.
        const char* type = payload + position;
        const bool isSelect = type[0] == 'S' && type[1] == 'F';
        const bool isOrder = type[0] == 'O' && type[1] == 'F';
        const bool isKey = type[0] == 'W' && type[1] == 'K';
        const bool isWhere = isKey || (type[0] == 'W' && type[1] == 'F');
        TZel_QueryField* field = nullptr;
        if (isSelect)
            field = param.SelectFields.AddNew();
        else if (isOrder)
            field = param.OrderFields.AddNew();
        else if (isWhere)
            field = param.WhereFields.AddNew();
        else
            throw Exception("unrecognized field type [" + GetFieldStr(payload, position, 2) + "]");
        position += 2;
        field->IsKey = isKey;
        field->FieldNumber = ReadFieldInt(payload, position, 3);
        if (!isWhere)
            continue;
        if (payloadCount - position < kValueLengthSize)
            throw Exception(std::string("could not read field length for field type [") +
                            (isKey ? "WK" : "WF") + "]");
        const int length = ReadFieldInt(payload, position, kValueLengthSize);
        if (length <= 0)
            continue;
        if (payloadCount - position < length)
            throw Exception("payload data too short for specified field data [" + std::to_string(length) +
                            "]");
        field->Value = ReadFieldStr(payload, position, length);
    }
}

void EncodeDataRows(TZelWirelessMessageSend& msg, const TZel_QueryResult& result) {
    int64_t total = msg.PayloadCount;
    for (size_t r = 0; r < result.Rows.size(); ++r) {
        const TZel_QueryRow& row = result.Rows[r];
        const int64_t size = result.ReplySize(row);
        const int32_t rowNumber = result.StartRow + static_cast<int32_t>(r);
        if (total + size > ZEL_MAX_PAYLOAD)
            throw Exception("Row [" + std::to_string(rowNumber) + "] needs " + std::to_string(size) +
                            " bytes and does not fit into a reply of at most " +
                            std::to_string(ZEL_MAX_PAYLOAD) + " bytes");
        total += size;
        msg.AppendText("RD", 2);
        msg.AppendInt(rowNumber, 8);
        for (int i = 0; i < result.Fields.Count(); ++i) {
            const TZel_QueryField* field = result.Fields.Get(i);
            // A row short of values sends the missing ones empty, as ReplySize counts them.
            const std::string_view value = static_cast<size_t>(i) < row.size()
                                               ? std::string_view(row[static_cast<size_t>(i)])
                                               : std::string_view();
            msg.AppendText(field->IsKey ? "RK" : "RF", 2);
            msg.AppendInt(field->FieldNumber, 3);
            msg.AppendInt(static_cast<int>(value.size()), 8);
            msg.AppendBytes(value.data(), static_cast<int>(value.size()));
        }
    }
}

void EncodeCount(TZelWirelessMessageSend& msg, int32_t count) {
    msg.AppendInt(count, 8);
}
