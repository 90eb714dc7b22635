// The reference handheld's protocol side: payloads it builds, replies it
// reads, its command line and its table output.
#include <gtest/gtest.h>

#include "protocol/WirelessMessage.h"
#include "protocol/Zel_ODBCQuery.h"
#include "server/RequestCodec.h"
#include "zel-pda/HandheldPayloads.h"
#include "zel-pda/PdaCommandLine.h"
#include "zel-pda/PdaTable.h"

using namespace Pda;

namespace {

std::string Nul(size_t count) {
    return std::string(count, '\0');
}

std::string Fixed(const std::string& text, size_t width) {
    return text + Nul(width - text.size());
}

const std::string kTwoRows = "RD00000001RK00000000002A1RF00300000001B"
                             "RD00000002RK00000000002A2RF00300000000";

TEST(HandheldPayloads, OpeningPayloadsHaveTheirFixedLayouts) {
    EXPECT_EQ(HelloPayload("1.0.0.0", "zel-pda"), Fixed("1.0.0.0", 30) + Fixed("zel-pda", 30));

    const std::string login = LoginPayload({"ann", "SN-17", "T1", "Linux 6"});
    ASSERT_EQ(login.size(), 240u);
    EXPECT_EQ(login,
              Fixed("ann", 40) + Nul(40) + Fixed("SN-17", 40) + Fixed("T1", 60) + Fixed("Linux 6", 60));

    const std::string select = SessionSelectPayload(7, "Stock", "zel-pda", "1.0");
    ASSERT_EQ(select.size(), 165u);
    EXPECT_EQ(select, "00007" + Fixed("zel-pda", 20) + Fixed("1.0", 20) + Nul(20) + Fixed("Stock", 100));

    // Over-long texts keep one NUL at the end of their field, as the server's writer does.
    EXPECT_EQ(LoginPayload({std::string(50, 'u'), "", "", ""}).substr(0, 40), std::string(39, 'u') + Nul(1));
}

TEST(HandheldPayloads, RequestsCarryWindowAndItemsThatTheServerParsesBack) {
    TZel_QueryParam param;
    param.StartRow = 20;
    param.EndRow = 39;
    param.SelectFields.AddNumber(1);
    param.SelectFields.AddNumber(3);
    param.OrderFields.AddNumber(2);
    TZel_QueryField* key = param.WhereFields.AddNumber(0);
    key->IsKey = true;
    key->Value = "A%";
    param.WhereFields.AddNumber(4); // empty value: length 0, the next item follows at once
    param.WhereFields.AddNumber(1)->Value = "Hex bolt";

    const std::string select = RequestPayload(param, true);
    EXPECT_EQ(select, "0000002000000039SF001SF003OF002WK00000000002A%WF00400000000WF00100000008Hex bolt");
    EXPECT_EQ(RequestPayload(param, false), select.substr(16));

    TZel_Query parsed;
    int position = 0;
    ParseRowWindow(parsed, select.data(), static_cast<int>(select.size()), position);
    ParseFieldItems(parsed, select.data(), static_cast<int>(select.size()), position);
    EXPECT_EQ(parsed.Param.LogText(), param.LogText());
}

TEST(HandheldPayloads, ReadsTheTwoRowDataReplyTheServerEncodes) {
    TZel_QueryResult result;
    result.StartRow = 1;
    result.Fields.AddNumber(0)->IsKey = true;
    result.Fields.AddNumber(3);
    result.AddRow() = {"A1", "B"};
    result.AddRow() = {"A2", ""};
    TZelWirelessMessageSend msg;
    EncodeDataRows(msg, result);
    const std::string payload(msg.Payload.Data(), static_cast<size_t>(msg.PayloadCount));
    ASSERT_EQ(payload, kTwoRows);
    ASSERT_EQ(payload.size(), 77u);

    const std::vector<TDataRow> rows = ParseDataReply(payload);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].RowNumber, 1);
    EXPECT_EQ(rows[1].RowNumber, 2);
    ASSERT_EQ(rows[1].Columns.size(), 2u);
    EXPECT_TRUE(rows[1].Columns[0].IsKey);
    EXPECT_EQ(rows[1].Columns[0].Value, "A2");
    EXPECT_FALSE(rows[0].Columns[1].IsKey);
    EXPECT_EQ(rows[0].Columns[1].FieldNumber, 3);
    EXPECT_EQ(rows[0].Columns[1].Value, "B");
    EXPECT_EQ(rows[1].Columns[1].Value, "");

    EXPECT_TRUE(ParseDataReply("").empty());
    // Values are counted, not delimited: markers inside a value are data.
    const std::vector<TDataRow> tricky = ParseDataReply("RD00000000RK00000000004RDRF");
    ASSERT_EQ(tricky.size(), 1u);
    EXPECT_EQ(tricky[0].Columns[0].Value, "RDRF");
}

TEST(HandheldPayloads, RefusesMalformedDataReplies) {
    const struct {
        const char* name;
        std::string payload;
        const char* message;
    } cases[] = {
        {"value cut short", kTwoRows.substr(0, 24), "PCDATA reply ends inside the value of field 0 of row 1"},
        {"column header cut short", kTwoRows.substr(0, 76), "PCDATA reply has no column marker at byte 64"},
        {"no row marker", "XX00000001RK00000000002A1", "PCDATA reply has no row marker at byte 0"},
        {"row header cut short", kTwoRows + "RD0000", "PCDATA reply has no row marker at byte 77"},
        {"letters in a row number", "RD0000000xRK00000000002A1",
         "PCDATA reply has no row number at byte 2 [0000000x]"},
        {"unknown column marker", "RD00000001RX00000000002A1",
         "PCDATA reply has no column marker at byte 10"},
        {"blank in a length", "RD00000001RK000 0000002A1",
         "PCDATA reply has no value length at byte 15 [ 0000002]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            ParseDataReply(c.payload);
            ADD_FAILURE() << "no failure";
        } catch (const EPdaProtocolError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(HandheldPayloads, ReadsStatusCountAndErrorReplies) {
    EXPECT_EQ(ParseCountReply("00000042"), 42);
    EXPECT_EQ(ParseCountReply("00000000"), 0);
    EXPECT_THROW(ParseCountReply("0000042"), EPdaProtocolError);
    EXPECT_THROW(ParseCountReply("0000004x"), EPdaProtocolError);

    const TStatusReply refused = ParseSessionReply("N" + Fixed("Session not selected: nope", 200));
    EXPECT_FALSE(refused.Accepted);
    EXPECT_EQ(refused.Text, "Session not selected: nope");
    EXPECT_TRUE(ParseLoginReply("Y" + Fixed("Login accepted.", 250)).Accepted);
    EXPECT_THROW(ParseLoginReply("Y" + Fixed("Login accepted.", 249)), EPdaProtocolError);
    EXPECT_THROW(ParseSessionReply("?" + Nul(200)), EPdaProtocolError);

    const TErrorReply error =
        ParseErrorReply("Y" + Fixed("Error processing message, Invalid session selected", 250) +
                        Fixed("caller: Processing Message", 250));
    EXPECT_EQ(error.Message, "Error processing message, Invalid session selected");
    EXPECT_EQ(error.Context, "caller: Processing Message");
    // A short error reply still shows what arrived.
    EXPECT_EQ(ParseErrorReply("YDisabled").Message, "Disabled");
}

TEST(HandheldPayloads, HelloReplyGivesTheKeyFromItsLastTwoHundredBytes) {
    std::string key;
    for (int i = 0; i < kKeyLength; ++i)
        key += static_cast<char>(1 + i % 254);
    const std::string payload = "Y" + Fixed("10.0.0.5", 60) + Fixed("Zel Wireless Server", 60) +
                                Fixed("1.0.0.0", 20) + Fixed("Server ready", 250) + key;
    ASSERT_EQ(payload.size(), static_cast<size_t>(kHelloReplySize));
    const THelloReply reply = ParseHelloReply(payload);
    EXPECT_TRUE(reply.Accepted);
    EXPECT_EQ(reply.ServerAddress, "10.0.0.5");
    EXPECT_EQ(reply.ServerName, "Zel Wireless Server");
    EXPECT_EQ(reply.ServerVersion, "1.0.0.0");
    EXPECT_EQ(reply.Message, "Server ready");
    EXPECT_EQ(reply.Key, key);
    EXPECT_THROW(ParseHelloReply(payload.substr(1)), EPdaProtocolError);
}

// --- command line ------------------------------------------------------------

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        if (end > start)
            words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

std::string ParamText(const TCommand& command) {
    TZel_QueryParam param;
    FillQueryParam(command, param);
    return param.LogText();
}

TEST(PdaCommandLine, ParsesCommandsInOrderWithTheirOptions) {
    const struct {
        const char* line;
        std::vector<std::string> params; // one per command
    } cases[] = {
        {"select --rows 0-20 --fields 1,2,3 --order 2 --where 1=Hex%",
         {"srn[0] ern[20] SF[1,2,3] OF[2] WH[1=Hex%]"}},
        {"count --where 1=Hex%", {"srn[0] ern[0] SF[] OF[] WH[1=Hex%]"}},
        {"delete 0=B0001", {"srn[0] ern[0] SF[] OF[] WH[*0=B0001]"}},
        {"select --rows=5- --fields 0,3-5 --order=3,1 4= 0=A%",
         {"srn[5] ern[0] SF[0,3,4,5] OF[3,1] WH[4=,*0=A%]"}},
        {"select --where 0=A00001 count --where 1=Hinge%",
         {"srn[0] ern[0] SF[] OF[] WH[*0=A00001]", "srn[0] ern[0] SF[] OF[] WH[1=Hinge%]"}},
        {"select --rows 7 delete --all", {"srn[7] ern[0] SF[] OF[] WH[]", "srn[0] ern[0] SF[] OF[] WH[]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const TOptions options = ParseCommandLine(Words(c.line));
        ASSERT_EQ(options.Commands.size(), c.params.size());
        for (size_t i = 0; i < c.params.size(); ++i)
            EXPECT_EQ(ParamText(options.Commands[i]), c.params[i]);
    }

    // Values keep their blanks and equals signs; options may follow commands.
    const TOptions post = ParseCommandLine(
        {"post", "0=B0001", "1=Hex bolt M8 zinc", "2=250", "6=a=b", "--port", "5000", "--session=3", "-v"});
    ASSERT_EQ(post.Commands.size(), 1u);
    EXPECT_EQ(post.Commands[0].Kind, TCommandKind::Post);
    EXPECT_EQ(ParamText(post.Commands[0]),
              "srn[0] ern[0] SF[] OF[] WH[*0=B0001,1=Hex bolt M8 zinc,2=250,6=a=b]");
    EXPECT_EQ(post.Port, 5000);
    EXPECT_EQ(post.Session, 3);
    EXPECT_TRUE(post.Verbose);
}

TEST(PdaCommandLine, KeepsDefaultsAndReadsConnectionOptions) {
    TOptions defaults;
    defaults.UserName = "ann";
    defaults.SerialNumber = "host1";
    TOptions options = ParseCommandLine({"count"}, defaults);
    EXPECT_EQ(options.Host, "127.0.0.1");
    EXPECT_EQ(options.Port, 4402);
    EXPECT_EQ(options.Session, 1);
    EXPECT_EQ(options.UserName, "ann");
    EXPECT_EQ(options.SerialNumber, "host1");
    EXPECT_EQ(options.TimeoutMs, 30000);

    options = ParseCommandLine(
        Words("--host pda.example --user bob --serial S9 --model M --os OS --timeout 2 count"), defaults);
    EXPECT_EQ(options.Host, "pda.example");
    EXPECT_EQ(options.UserName, "bob");
    EXPECT_EQ(options.SerialNumber, "S9");
    EXPECT_EQ(options.Model, "M");
    EXPECT_EQ(options.OperatingSystem, "OS");
    EXPECT_EQ(options.TimeoutMs, 2000);
    EXPECT_TRUE(ParseCommandLine({"--help"}).Help);
    EXPECT_TRUE(ParseCommandLine({"--version"}).Version);
}

TEST(PdaCommandLine, RefusesWhatItCannotSend) {
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"cnt", "unknown command [cnt]"},
        {"count --frobnicate", "unknown option [--frobnicate]"},
        {"--rows 0-5 select", "--rows must follow a command (select, count, post or delete)"},
        {"count --rows 0-5", "--rows does not apply to count"},
        {"post --where 0=A", "--where does not apply to post"},
        {"post", "post needs at least one FIELD=VALUE"},
        {"select --rows 5-2", "rows [5-2]: the last row comes before the first"},
        {"select --rows x-2", "the first row must be a number from 0 to 99999999, got [x]"},
        {"select --fields 1,,2", "a field number must be a number from 0 to 999, got []"},
        {"select --fields 5-3", "field range [5-3] runs backwards"},
        {"delete 1000=x", "a field number must be a number from 0 to 999, got [1000]"},
        {"delete A00001", "expected FIELD=VALUE, got [A00001]"},
        {"delete", "delete without a condition removes every row: add --all to mean it"},
        {"delete --all 0=A", "delete --all takes no condition"},
        {"count --all", "--all does not apply to count"},
        {"count --port 70000", "--port must be a number from 1 to 65535, got [70000]"},
        {"count --session", "--session needs a value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        try {
            ParseCommandLine(Words(c.line));
            ADD_FAILURE() << "accepted";
        } catch (const EPdaUsage& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(PdaTable, AlignsRowsUnderFieldHeadings) {
    std::vector<TDataRow> rows = ParseDataReply(kTwoRows);
    rows[0].Columns[1].Value = "Bolt\tM8"; // a control character must not break the layout
    EXPECT_EQ(FormatTable(rows), "row  0*  3\n"
                                 "1    A1  Bolt.M8\n"
                                 "2    A2\n");
    // Multi-byte characters take one column each.
    rows[0].Columns[0].Value = "\xC3\x84"
                               "1";
    EXPECT_EQ(FormatTable(rows).substr(0, 22), "row  0*  3\n1    \xC3\x84"
                                               "1  B");
    EXPECT_EQ(FormatTable({}), "");
}

} // namespace

namespace {

TEST(PdaCommandLine, DeletingEveryRowMustBeAskedFor) {
    const TOptions options = ParseCommandLine(Words("delete --all count"));
    ASSERT_EQ(options.Commands.size(), 2u);
    EXPECT_TRUE(options.Commands[0].All);
    EXPECT_TRUE(options.Commands[0].Items.empty());
}

} // namespace
