// Data requests against the real server program, over loopback, on both drivers.
#include "E2eDataFixture.h"

#include "protocol/WirelessMessage.h"
#include "protocol/Zel_ODBCQuery.h"
#include "support/TestHandheld.h"

using namespace Pda;

namespace {

const std::string kWholeTable = "0000000000000000"; // row window 0-0: every row

TFrame Request(THandheldClient& client, const std::string& type, const std::string& payload) {
    client.SendFrame(type, payload);
    return client.ReadFrame();
}

TEST_P(E2eDataTest, DataRequestsNeedASelectedSession) {
    THandheldClient client;
    Open(client, 0);
    const struct {
        const char* type;
        std::string payload;
    } requests[] = {{"PDASELECT", kWholeTable},
                    {"PDACOUNT", kWholeTable},
                    {"PDAPOST", WhereItem("WK", 0, "A00001") + WhereItem("WF", 2, "5")},
                    {"PDADELETE", ""}};
    for (const auto& r : requests) {
        SCOPED_TRACE(r.type);
        const TFrame reply = Request(client, r.type, r.payload);
        ASSERT_EQ(reply.Type, "PCERR");
        EXPECT_TRUE(reply.OutOfBand);
        const TErrorReply error = ParseErrorReply(reply.Payload);
        EXPECT_EQ(error.Message, "Error processing message, Invalid session selected");
        EXPECT_EQ(error.Context, "caller: Processing Message");
    }
    // Nothing was written or deleted, and the connection still serves.
    ASSERT_TRUE(client.SelectSession(1, "e2e", "plug", "1.0").Accepted);
    EXPECT_EQ(client.Count(TZel_QueryParam()), 42);
    EXPECT_EQ(Scalar("SELECT Quantity FROM stock WHERE ItemNo = 'A00001'"), "10");
}

TEST_P(E2eDataTest, MalformedRequestsAreRefusedWithoutTouchingTheTable) {
    THandheldClient client;
    Open(client);
    const struct {
        const char* name;
        const char* type;
        std::string payload;
        std::string message;
    } cases[] = {
        {"select of 15 bytes", "PDASELECT", kWholeTable.substr(1),
         "Invalid data packet received during pda select [15] should be at least [16]"},
        {"count of 15 bytes", "PDACOUNT", kWholeTable.substr(1),
         "Invalid data packet received during pda count [15] should be at least [16]"},
        {"post of 12 bytes", "PDAPOST", WhereItem("WK", 0, "").substr(1),
         "Invalid data packet received during pda post [12] should be at least [13]"},
        {"delete of 12 bytes", "PDADELETE", WhereItem("WK", 0, "").substr(1),
         "Invalid data packet received during delete [12] should be at least [13]"},
        {"value longer than the payload", "PDADELETE", "WK00000000020A00001A000",
         "payload data too short for specified field data [20]"},
        {"unknown item after a valid one", "PDADELETE", WhereItem("WK", 0, "A00001") + "XX001",
         "unrecognized field type [XX]"},
        {"value length cut short", "PDAPOST", WhereItem("WK", 0, "A00001") + "WF002000",
         "could not read field length for field type [WF]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TFrame reply = Request(client, c.type, c.payload);
        ASSERT_EQ(reply.Type, "PCERR");
        EXPECT_EQ(ParseErrorReply(reply.Payload).Message, "Error processing message, " + c.message);
    }
    EXPECT_EQ(client.Count(TZel_QueryParam()), 42);
    EXPECT_EQ(Scalar("SELECT Quantity FROM stock WHERE ItemNo = 'A00001'"), "10");
}

TEST_P(E2eDataTest, RequestsAtTheLengthLimitsAndTheirReplies) {
    THandheldClient client;
    Open(client);

    // The bare 16-byte window: every row, the key only.
    TFrame reply = Request(client, "PDASELECT", kWholeTable);
    ASSERT_EQ(reply.Type, "PCDATA");
    std::vector<TDataRow> rows = ParseDataReply(reply.Payload);
    ASSERT_EQ(rows.size(), 42u);
    EXPECT_EQ(rows[41].RowNumber, 41);
    EXPECT_EQ(rows[41].Columns.size(), 1u);

    // "WF" with length 0 is an empty value; the "SF" item right after it still counts.
    reply = Request(client, "PDASELECT", kWholeTable + WhereItem("WF", 4, "") + "SF001");
    rows = ParseDataReply(reply.Payload);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].Columns.size(), 2u);
    EXPECT_EQ(rows[0].Columns[0].Value, "A00007");
    EXPECT_EQ(rows[0].Columns[1].Value, "Hinge 7");

    // No match: an empty "PCDATA".
    reply = Request(client, "PDASELECT", kWholeTable + WhereItem("WK", 0, "Z%"));
    EXPECT_EQ(reply.Type, "PCDATA");
    EXPECT_EQ(reply.Payload, "");

    reply = Request(client, "PDACOUNT", kWholeTable);
    EXPECT_EQ(reply.Type, "PCCOUNT");
    EXPECT_EQ(reply.Payload, "00000042");
    reply = Request(client, "PDACOUNT", kWholeTable + WhereItem("WF", 1, "Hex%"));
    EXPECT_EQ(reply.Payload, "00000014");

    reply = Request(client, "PDADELETE", WhereItem("WF", 1, "Hinge 2%"));
    EXPECT_EQ(reply.Type, "PCCOUNT");
    EXPECT_EQ(reply.Payload, "00000003");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM stock"), "39");

    // An empty delete is a delete without conditions: every row goes.
    reply = Request(client, "PDADELETE", "");
    EXPECT_EQ(reply.Type, "PCCOUNT");
    EXPECT_EQ(reply.Payload, "00000039");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM stock"), "0");
}

TEST_P(E2eDataTest, TwoRowsTravelInSeventySevenBytes) {
    THandheldClient client;
    Open(client, 2);
    const TFrame reply = Request(client, "PDASELECT", "0000000100000002SF003OF000");
    ASSERT_EQ(reply.Type, "PCDATA");
    EXPECT_EQ(reply.Payload, "RD00000001RK00000000002A1RF00300000001B"
                             "RD00000002RK00000000002A2RF00300000000");
}

TEST_P(E2eDataTest, RepliesSplitAtTheFrameLimit) {
    CreateBigRows();
    THandheldClient client;
    Open(client, 3);
    TZel_QueryParam param;
    param.SelectFields.AddNumber(1);
    param.OrderFields.AddNumber(0);

    // Rows of 30,036 bytes: three fit into one reply, the fourth would cross 99,999.
    client.SendFrame("PDASELECT", RequestPayload(param, true));
    TFrame reply = client.ReadFrame();
    ASSERT_EQ(reply.Type, "PCDATA");
    EXPECT_LE(reply.Payload.size(), static_cast<size_t>(ZEL_MAX_PAYLOAD));
    std::vector<TDataRow> rows = ParseDataReply(reply.Payload);
    EXPECT_EQ(Keys(rows), (std::vector<std::string>{"B1", "B2", "B3"}));
    ASSERT_EQ(rows.back().RowNumber, 2);
    EXPECT_EQ(rows.back().Columns[1].Value, std::string(30000, 'd'));

    // The handheld goes on from the next row number and gets the rest that fits.
    param.StartRow = rows.back().RowNumber + 1;
    rows = client.Select(param);
    EXPECT_EQ(Keys(rows), (std::vector<std::string>{"B4", "B5"}));
    EXPECT_EQ(rows.front().RowNumber, 3);

    // A single row larger than any reply is named, not skipped or cut.
    param.StartRow = 5;
    try {
        client.Select(param);
        ADD_FAILURE() << "row 5 was sent";
    } catch (const EPdaServerError& e) {
        EXPECT_NE(e.Reply.Message.find("Row [5]"), std::string::npos) << e.Reply.Message;
    }
    // The window before it is still served.
    param.StartRow = 3;
    param.EndRow = 4;
    EXPECT_EQ(Keys(client.Select(param)), (std::vector<std::string>{"B4", "B5"}));

    // zel-pda follows the row numbers over several replies by itself.
    const TProgramRun run =
        Pda({"--session", "3", "select", "--rows", "0-4", "--fields", "1", "--order", "0"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    size_t lines = 0;
    for (char c : run.Out)
        lines += c == '\n';
    EXPECT_EQ(lines, 6u); // heading and rows 0 to 4
    EXPECT_NE(run.Out.find("\n4    B5  fffff"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Drivers, E2eDataTest, ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace
