// The payload of a data request as the handheld sends it: the row window and
// the field items are parsed, then a result is built from what was parsed, as
// a select builds one (the key and the selected fields, rows of the parsed
// values, some of them short), and encoded into a reply. Parsing may refuse
// the payload and encoding may refuse a row that does not fit, both with
// Exception only; an encoded reply must decode to exactly the result.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "protocol/WirelessMessage.h"
#include "protocol/Zel_ODBCQuery.h"
#include "server/RequestCodec.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "field items: %s\n", what);
    std::abort();
}

std::string Padded(int64_t number, size_t width) {
    std::string text = std::to_string(number);
    return std::string(width - std::min(width, text.size()), '0') + text;
}

void BuildResult(const TZel_QueryParam& param, TZel_QueryResult& result) {
    result.StartRow = param.StartRow;
    result.Fields.AddNumber(0)->IsKey = true;
    for (int i = 0; i < param.SelectFields.Count(); ++i)
        result.Fields.AddNumber(param.SelectFields.Get(i)->FieldNumber);
    const int values = param.WhereFields.Count();
    const int rows = std::min(1 + param.OrderFields.Count(), 64);
    // The window's end row stretches the values, so that replies reach the frame limit.
    const size_t stretch = static_cast<size_t>(std::clamp(param.EndRow, 1, 4000));
    // Enough for replies past the limit, little enough to stay fast.
    size_t budget = 4 * ZEL_MAX_PAYLOAD;
    for (int r = 0; r < rows; ++r) {
        TZel_QueryRow& row = result.AddRow();
        // Odd rows come short of values: a column that could not be read.
        const int columns =
            r % 2 ? (result.Fields.Count() - 1 - r / 2 % result.Fields.Count()) : result.Fields.Count();
        for (int c = 0; c < columns; ++c) {
            std::string value = values ? param.WhereFields.Get((r + c) % values)->Value : std::string();
            std::string stretched;
            for (size_t k = 0; k < stretch && !value.empty() && value.size() <= budget; ++k) {
                stretched += value;
                budget -= value.size();
            }
            row.push_back(std::move(stretched));
        }
    }
}

// Reads the reply back field by field and compares it with the result.
void CheckReply(const TZelWirelessMessageSend& msg, const TZel_QueryResult& result) {
    const std::string reply(msg.Payload.Data(), static_cast<size_t>(msg.PayloadCount));
    size_t at = 0;
    const auto take = [&](size_t width) {
        if (reply.size() - at < width)
            Fail("reply shorter than its rows");
        const std::string text = reply.substr(at, width);
        at += width;
        return text;
    };
    for (size_t r = 0; r < result.Rows.size(); ++r) {
        const int64_t rowNumber = int64_t(result.StartRow) + int64_t(r);
        const std::string number = take(2 + 8);
        if (number.substr(0, 2) != "RD" || (rowNumber >= 0 && number.substr(2) != Padded(rowNumber, 8)))
            Fail("row header");
        for (int c = 0; c < result.Fields.Count(); ++c) {
            const TZel_QueryField* field = result.Fields.Get(c);
            const TZel_QueryRow& row = result.Rows[r];
            const std::string value = static_cast<size_t>(c) < row.size() ? row[static_cast<size_t>(c)] : "";
            const std::string header = take(2 + 3 + 8);
            if (header.substr(0, 2) != (field->IsKey ? "RK" : "RF") ||
                (field->FieldNumber >= 0 && field->FieldNumber <= 999 &&
                 header.substr(2, 3) != Padded(field->FieldNumber, 3)) ||
                header.substr(5) != Padded(static_cast<int64_t>(value.size()), 8))
                Fail("field header");
            if (take(value.size()) != value)
                Fail("field value");
        }
    }
    if (at != reply.size())
        Fail("reply longer than its rows");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* payload = reinterpret_cast<const char*>(data);
    const int count = static_cast<int>(size);
    TZel_Query query;
    int position = 0;
    try {
        ParseRowWindow(query, payload, count, position);
        ParseFieldItems(query, payload, count, position);
    } catch (const Exception&) {
        return 0;
    }
    if (position > count || count - position >= 5)
        Fail("items left unread");
    (void)query.Param.LogText();

    BuildResult(query.Param, query.Result);
    int64_t total = 0;
    for (const TZel_QueryRow& row : query.Result.Rows)
        total += query.Result.ReplySize(row);
    TZelWirelessMessageSend msg;
    msg.MessageType = "PCDATA";
    try {
        EncodeDataRows(msg, query.Result);
    } catch (const Exception&) {
        if (total <= ZEL_MAX_PAYLOAD)
            Fail("refused rows that fit");
        return 0;
    }
    if (total > ZEL_MAX_PAYLOAD || msg.PayloadCount != total)
        Fail("reply size differs from the rows' sizes");
    CheckReply(msg, query.Result);
    msg.DataLength = msg.PayloadCount;
    msg.BuildHeader();
    return 0;
}
