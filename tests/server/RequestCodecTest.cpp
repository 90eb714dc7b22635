#include <gtest/gtest.h>

#include "base/Exception.h"
#include "protocol/WirelessMessage.h"
#include "server/RequestCodec.h"

using namespace std::string_literals;

namespace {

struct Parsed {
    TZel_Query query;
    int position = 0;
};

void Parse(Parsed& parsed, const std::string& payload, bool withWindow) {
    const int count = static_cast<int>(payload.size());
    if (withWindow)
        ParseRowWindow(parsed.query, payload.data(), count, parsed.position);
    ParseFieldItems(parsed.query, payload.data(), count, parsed.position);
}

std::string ParseError(const std::string& payload) {
    Parsed parsed;
    try {
        Parse(parsed, payload, false);
    } catch (const Exception& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(RequestCodec, ParsesWindowAndItemsInArrivalOrder) {
    Parsed parsed;
    Parse(parsed,
          "0000000200000004"
          "SF001SF003OF002"
          "WK00000000005A17\0x"
          "WF002"
          "00000000"
          "WF005"
          "00000003a b"
          "xyz"s,
          true);
    const TZel_QueryParam& param = parsed.query.Param;
    EXPECT_EQ(param.StartRow, 2);
    EXPECT_EQ(param.EndRow, 4);
    EXPECT_EQ(param.LogText(), "srn[2] ern[4] SF[1,3] OF[2] WH[*0=A17,2=,5=a b]");
    // Values stop at their first NUL; trailing one to four bytes are ignored.
    EXPECT_EQ(parsed.position, 16 + 15 + 18 + 13 + 16);
}

TEST(RequestCodec, AWindowOfExactlySixteenBytesHasNoItems) {
    Parsed parsed;
    Parse(parsed, "0000000100000020", true);
    EXPECT_EQ(parsed.query.Param.LogText(), "srn[1] ern[20] SF[] OF[] WH[]");
}

TEST(RequestCodec, RefusesMalformedItems) {
    struct Case {
        std::string payload;
        std::string message;
    } cases[] = {
        {"XX001", "unrecognized field type [XX]"},
        {"SF001XX001", "unrecognized field type [XX]"},
        {"WK000"
         "0000002",
         "could not read field length for field type [WK]"},
        {"WK000"
         "00000020"
         "0123456789",
         "payload data too short for specified field data [20]"},
        {"WF001"
         "-0000001"
         "SF002",
         "(accepted)"},
        {"WF001"
         "abcdefgh",
         "(accepted)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseError(c.payload), c.message) << c.payload;
}

TEST(RequestCodec, EncodesTwoRowsInSeventySevenBytes) {
    TZel_QueryResult result;
    result.StartRow = 1;
    result.Fields.AddNumber(0)->IsKey = true;
    result.Fields.AddNumber(3);
    result.AddRow() = {"A1", "B"};
    result.AddRow() = {"A2", ""};
    TZelWirelessMessageSend msg;
    EncodeDataRows(msg, result);
    EXPECT_EQ(std::string(msg.Payload.Data(), msg.PayloadCount), "RD00000001RK00000000002A1RF00300000001B"
                                                                 "RD00000002RK00000000002A2RF00300000000");
    EXPECT_EQ(msg.PayloadCount, 77);
    EXPECT_EQ(result.ReplySize(result.Rows[0]), 39);

    TZelWirelessMessageSend count;
    EncodeCount(count, 42);
    EXPECT_EQ(std::string(count.Payload.Data(), count.PayloadCount), "00000042");
}

// A row with fewer values than the result has fields was read past its end.
TEST(RequestCodec, ARowShortOfValuesSendsTheMissingOnesEmpty) {
    TZel_QueryResult result;
    result.StartRow = 3;
    result.Fields.AddNumber(0)->IsKey = true;
    result.Fields.AddNumber(4);
    result.Fields.AddNumber(5);
    result.AddRow() = {"K"};
    result.AddRow() = {};
    TZelWirelessMessageSend msg;
    EncodeDataRows(msg, result);
    EXPECT_EQ(std::string(msg.Payload.Data(), msg.PayloadCount),
              "RD00000003RK00000000001KRF00400000000RF00500000000"
              "RD00000004RK00000000000RF00400000000RF00500000000");
    EXPECT_EQ(msg.PayloadCount, result.ReplySize(result.Rows[0]) + result.ReplySize(result.Rows[1]));
}

TEST(RequestCodec, RefusesARowThatCannotFitIntoAFrame) {
    TZel_QueryResult result;
    result.StartRow = 7;
    result.Fields.AddNumber(0)->IsKey = true;
    result.AddRow() = {std::string(ZEL_MAX_PAYLOAD, 'x')};
    TZelWirelessMessageSend msg;
    try {
        EncodeDataRows(msg, result);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Row [7] needs 100022 bytes and does not fit into a reply of at most 99999 bytes");
    }
}

} // namespace
