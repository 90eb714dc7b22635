#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "base/Zel_EventLogger.h"
#include "net/Zel_Socket.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/TestHandheld.h"
#include "support/TestServer.h"

namespace {

constexpr size_t PCERR_MESSAGE = 1;

// A clear header with any identifier and length text.
std::string RawHeader(const std::string& id, const std::string& type, const std::string& length) {
    return id + "N" + FixedField(type, 9) + length;
}
constexpr size_t PCERR_CONTEXT = 251;

class WirelessClientTest : public ::testing::Test {
protected:
    // Connects the handheld and greets: the connection is scrambled afterwards.
    TZelWirelessClient* Greeted(TTestHandheld& handheld) {
        TZelWirelessClient* client = server.Connect(handheld);
        EXPECT_NE(client, nullptr);
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] { reply = handheld.Hello(); }));
        EXPECT_EQ(reply.Type, "PCHELO");
        return client;
    }

    // Sends the bytes and reads one frame, while the server serves.
    THandheldFrame Exchange(TTestHandheld& handheld, const std::string& bytes) {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] {
            handheld.SendBytes(bytes);
            reply = handheld.ReadFrame();
        }));
        return reply;
    }

    static void ExpectError(const THandheldFrame& reply, const std::string& message,
                            const std::string& context) {
        ASSERT_TRUE(reply.Received);
        EXPECT_EQ(reply.Type, "PCERR");
        EXPECT_TRUE(reply.OutOfBand);
        EXPECT_EQ(reply.Payload.size(), 501u);
        EXPECT_EQ(reply.Text(0, 1), "Y");
        EXPECT_EQ(reply.Text(PCERR_MESSAGE, 250), message);
        EXPECT_EQ(reply.Text(PCERR_CONTEXT, 250), context);
    }

    TTestServer server;
};

TEST_F(WirelessClientTest, HeaderInPiecesIsParsedOnTheThirdNotification) {
    TTestHandheld handheld;
    TZelWirelessClient* client = server.Connect(handheld);
    ASSERT_NE(client, nullptr);
    const std::string frame = BuildFrame("PDAHELO", HelloPayload());
    ASSERT_TRUE(handheld.SendBytes(frame.substr(0, 5)));
    ASSERT_TRUE(PumpUntil([&] { return client->ReadMsg.BytesRead == 5; }));
    ASSERT_TRUE(handheld.SendBytes(frame.substr(5, 5)));
    ASSERT_TRUE(PumpUntil([&] { return client->ReadMsg.BytesRead == 10; }));
    EXPECT_FALSE(client->ReadMsg.HeaderComplete);
    EXPECT_EQ(client->MessagesIn, 0);
    const THandheldFrame reply = Exchange(handheld, frame.substr(10));
    EXPECT_EQ(reply.Type, "PCHELO");
    EXPECT_EQ(client->MessagesIn, 1);
    EXPECT_EQ(client->State, csGreeted);
}

// Listening on every interface, the greeting names the address the handheld reached.
TEST_F(WirelessClientTest, GreetingNamesTheReachedAddressWhenListeningEverywhere) {
    server.Server().IPAddress = "0.0.0.0";
    TTestHandheld handheld;
    ASSERT_NE(server.Connect(handheld), nullptr);
    THandheldFrame hello;
    ASSERT_TRUE(RunPumping([&] { hello = handheld.Hello(); }));
    EXPECT_EQ(hello.Text(1, 60), "127.0.0.1");
}

// Every split point of a frame, on one scrambled connection: repeated
// greetings are answered with the same key, so the key positions must stay
// in step across all of them.
TEST_F(WirelessClientTest, FrameSplitAtEveryByte) {
    TTestHandheld handheld;
    TZelWirelessClient* client = Greeted(handheld);
    ASSERT_NE(client, nullptr);
    const std::string frame = BuildFrame("PDAHELO", HelloPayload());
    const std::vector<uint8_t> key = handheld.Key;
    for (size_t split = 1; split < frame.size(); ++split) {
        const int32_t before = client->ReadMsg.BytesRead;
        ASSERT_TRUE(handheld.SendBytes(frame.substr(0, split)));
        ASSERT_TRUE(PumpUntil([&] {
            return client->ReadMsg.BytesRead == before + static_cast<int32_t>(split);
        })) << split;
        const THandheldFrame reply = Exchange(handheld, frame.substr(split));
        ASSERT_EQ(reply.Type, "PCHELO") << split;
        EXPECT_EQ(reply.Payload.substr(391), std::string(key.begin(), key.end())) << split;
    }
}

TEST_F(WirelessClientTest, TwoFramesInOneSegmentAreBothHandled) {
    TTestHandheld handheld;
    TZelWirelessClient* client = Greeted(handheld);
    ASSERT_NE(client, nullptr);
    THandheldFrame first, second;
    ASSERT_TRUE(RunPumping([&] {
        handheld.SendBytes(BuildFrame("PDAFOO", "") + BuildFrame("PDALOGIN", LoginPayload("anna", "SN1")));
        first = handheld.ReadFrame();
        second = handheld.ReadFrame();
    }));
    ExpectError(first, "Error processing message, Unrecognized message type", "caller: Processing Message");
    EXPECT_EQ(second.Type, "PCLOGIN");
    EXPECT_EQ(second.Text(1, 250), "Login accepted.");
    EXPECT_EQ(client->MessagesIn, 3);
    EXPECT_EQ(client->MessagesOut, 3);
    EXPECT_EQ(client->State, csLoggedIn);
}

TEST_F(WirelessClientTest, ByeWithoutPayloadClosesWithoutReply) {
    TTestHandheld handheld;
    TZelWirelessClient* client = server.Connect(handheld);
    ASSERT_NE(client, nullptr);
    std::string rest;
    ASSERT_TRUE(RunPumping([&] {
        handheld.SendFrame("PDABYE", "");
        rest = handheld.ReadBytes(1);
    }));
    EXPECT_EQ(rest, "") << "no reply, end of stream";
    EXPECT_EQ(client->State, csClosed);
    EXPECT_EQ(client->MessagesOut, 0);
    // No empty parts: no "()" before a greeting, and the address of a closed
    // socket is the one the connection came from.
    EXPECT_EQ(server.LogCount("Connect from 127.0.0.1"), 1);
    EXPECT_EQ(server.LogCount("Connect from 127.0.0.1 ("), 0);
    EXPECT_EQ(server.LogCount("Disconnect from 127.0.0.1"), 1);
    EXPECT_EQ(client->GetAddress(), "") << "the socket's own address is gone once it is closed";
    ASSERT_EQ(server.Server().Clients.size(), 1u) << "a closed client stays listed";
}

TEST_F(WirelessClientTest, RefusedMessagesAreAnsweredAndLeaveTheStateAlone) {
    struct Case {
        const char* name;
        bool greeted;
        std::string type;
        std::string payload;
        std::string message;
    } cases[] = {
        {"bye with payload", false, "PDABYE", "abc",
         "Invalid data packet received during client disconnect [3] should be [0]"},
        {"unknown type", true, "PDAFOO", "", "Unrecognized message type"},
        {"lower case type", true, "pdahelo", HelloPayload(), "Unrecognized message type"},
        {"short hello", false, "PDAHELO", HelloPayload().substr(1),
         "Invalid data packet received during client connect [59] should be [60]"},
        {"long hello", false, "PDAHELO", HelloPayload() + "x",
         "Invalid data packet received during client connect [61] should be [60]"},
        {"login before hello", false, "PDALOGIN", LoginPayload("anna", "SN1"),
         "Data packets out of sequence, client not recognized"},
        {"short login", true, "PDALOGIN", "x",
         "Invalid data packet received during login [1] should be [240]"},
        {"session before login", true, "PDASSEL", SessionPayload("1"),
         "Data packets out of sequence, client not recognized"},
        {"short session", true, "PDASSEL", "",
         "Invalid data packet received during session selection [0] should be [165]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTestHandheld handheld;
        TZelWirelessClient* client = c.greeted ? Greeted(handheld) : server.Connect(handheld);
        ASSERT_NE(client, nullptr);
        const TClientState state = client->State;
        const int32_t messages = client->MessagesIn;
        const std::string logLine = "127.0.0.1: Error processing message, " + c.message;
        const int logged = server.LogCount(logLine);
        ExpectError(Exchange(handheld, BuildFrame(c.type, c.payload)),
                    "Error processing message, " + c.message, "caller: Processing Message");
        EXPECT_EQ(client->State, state);
        EXPECT_EQ(client->Encoder.Enabled, c.greeted) << "an ungreeted connection stays in the clear";
        EXPECT_EQ(client->MessagesIn, messages + 1);
        EXPECT_EQ(server.LogCount(logLine), logged + 1);
    }
}

TEST_F(WirelessClientTest, InvalidHeaderBeforeGreetingClosesSilently) {
    TTestHandheld handheld;
    TZelWirelessClient* client = server.Connect(handheld);
    ASSERT_NE(client, nullptr);
    std::string rest;
    ASSERT_TRUE(RunPumping([&] {
        handheld.SendBytes(RawHeader("XX", "PDAHELO", "00060") + HelloPayload());
        rest = handheld.ReadBytes(1);
    }));
    EXPECT_EQ(rest, "");
    EXPECT_EQ(client->State, csClosed);
    EXPECT_EQ(client->MessagesOut, 0);
    EXPECT_EQ(server.LogCount("ERROR: 127.0.0.1: error during read: Invalid HeaderId [XX]"), 1);
}

// Once scrambling is on, the key position of the bytes after a bad header is
// unknown: the connection is closed, with a log line, and nothing is answered.
TEST_F(WirelessClientTest, InvalidHeaderOnTheScrambledStreamClosesTheConnection) {
    for (const char* length : {"00060", "-0060"}) {
        SCOPED_TRACE(length);
        TTestHandheld handheld;
        TZelWirelessClient* client = Greeted(handheld);
        ASSERT_NE(client, nullptr);
        const std::string header = std::string(length) == "00060" ? RawHeader("XX", "PDAHELO", length)
                                                                  : RawHeader("ZW", "PDAHELO", length);
        bool closed = false;
        std::string rest;
        ASSERT_TRUE(RunPumping([&] {
            handheld.SendBytes(header + BuildFrame("PDALOGIN", LoginPayload("anna", "SN1")));
            rest = handheld.ReadBytes(1);
            closed = handheld.WaitClosed();
        }));
        EXPECT_EQ(rest, "") << "no reply";
        EXPECT_TRUE(closed);
        EXPECT_EQ(client->State, csClosed);
        EXPECT_EQ(client->MessagesOut, 1) << "only the greeting was answered";
    }
    EXPECT_EQ(server.LogCount("ERROR: 127.0.0.1: error during read: Invalid HeaderId [XX]"), 1);
    EXPECT_EQ(server.LogCount("ERROR: 127.0.0.1: error during read: Invalid DataLength [-0060]"), 1);
    EXPECT_EQ(server.LogCount("ERROR: 127.0.0.1: scrambled stream out of step, connection closed"), 2);
}

TEST_F(WirelessClientTest, VerboseHeaderErrorShowsTheFrame) {
    SetVerbose(true);
    TTestHandheld handheld;
    ASSERT_NE(Greeted(handheld), nullptr);
    ASSERT_TRUE(RunPumping([&] {
        handheld.SendBytes(RawHeader("XX", "PDAHELO", "00060"));
        handheld.WaitClosed();
    }));
    EXPECT_EQ(server.LogCount("ERROR: 127.0.0.1: error during read: Invalid HeaderId [XX] in [hi[XX] oob[N] "
                              "mt[PDAHELO] dl[60] buf[XXNPDAHELO**00060]]"),
              1);
    EXPECT_EQ(server.LogCount(" -- 127.0.0.1: socket read 17 bytes"), 2);
    EXPECT_EQ(server.LogCount(" -- 127.0.0.1: client does not appear"), 0);
    EXPECT_EQ(server.LogCount(" -- Encoding Key: KeyLength[200] HexData["), 1);
}

// The monitor shows these for the life of a connection, which may outlast
// two gigabytes or messages.
TEST_F(WirelessClientTest, CountersGoPastTheThirtyTwoBitRange) {
    TTestHandheld handheld;
    TZelWirelessClient* client = server.Connect(handheld);
    ASSERT_NE(client, nullptr);
    constexpr int64_t top = INT32_MAX;
    client->MessagesIn = client->MessagesOut = client->BytesIn = client->BytesOut = top;
    THandheldFrame reply;
    ASSERT_TRUE(RunPumping([&] { reply = handheld.Hello(); }));
    ASSERT_EQ(reply.Type, "PCHELO");
    EXPECT_EQ(client->MessagesIn, top + 1);
    EXPECT_EQ(client->MessagesOut, top + 1);
    EXPECT_EQ(client->BytesIn, top + 77);
    EXPECT_EQ(client->BytesOut, top + 608);
}

TEST_F(WirelessClientTest, GreetingHandsOverTheKeyAndScramblesEverythingAfter) {
    TTestHandheld handheld;
    TZelWirelessClient* client = server.Connect(handheld);
    ASSERT_NE(client, nullptr);
    THandheldFrame hello;
    std::string header;
    ASSERT_TRUE(RunPumping([&] {
        hello = handheld.Hello();
        handheld.SendFrame("PDALOGIN", LoginPayload("anna", "SN1"));
        // Read the reply's header off the wire as it is.
        handheld.Scrambling = false;
        header = handheld.ReadBytes(17);
        handheld.Scrambling = true;
    }));
    ASSERT_EQ(hello.Payload.size(), 591u);
    EXPECT_FALSE(hello.OutOfBand);
    EXPECT_EQ(hello.Text(0, 1), "Y");
    EXPECT_EQ(hello.Text(1, 60), "127.0.0.1");
    EXPECT_EQ(hello.Text(61, 60), "Zel Wireless Server");
    EXPECT_EQ(hello.Text(121, 20), "1.0.0.0");
    EXPECT_EQ(hello.Text(141, 250), "Server ready");
    const std::string key = hello.Payload.substr(391);
    EXPECT_EQ(key, std::string(client->Encoder.Key.begin(), client->Encoder.Key.end()));
    for (char byte : key) {
        EXPECT_GE(static_cast<uint8_t>(byte), 1);
        EXPECT_LE(static_cast<uint8_t>(byte), 254);
    }
    ASSERT_EQ(header.size(), 17u);
    const std::string clear = RawHeader("ZW", "PCLOGIN", "00251");
    for (size_t i = 0; i < 17; ++i)
        EXPECT_EQ(static_cast<uint8_t>(header[i]),
                  static_cast<uint8_t>(clear[i]) ^ static_cast<uint8_t>(key[i]))
            << "byte " << i;
    handheld.RecvPos = 17;
    std::string payload;
    ASSERT_TRUE(RunPumping([&] { payload = handheld.ReadBytes(251); }));
    EXPECT_EQ(payload.substr(0, 16), "YLogin accepted.");
    EXPECT_EQ(client->BytesIn, 77 + 257);
    EXPECT_EQ(client->BytesOut, 608 + 268);
    EXPECT_EQ(server.Server().BytesReceived, 77 + 257);
    EXPECT_EQ(server.Server().BytesSent, 608 + 268);
    EXPECT_EQ(client->PDAInfo.UserName, "anna");
    EXPECT_EQ(client->PDAInfo.SerialNumber, "SN1");
    EXPECT_EQ(client->PDAInfo.Software, "zel-test");
    EXPECT_EQ(client->GetTitle(), "anna@127.0.0.1");
}

TEST_F(WirelessClientTest, SecondGreetingKeepsTheKeyAndFallsBackToGreeted) {
    TTestHandheld handheld;
    TZelWirelessClient* client = Greeted(handheld);
    ASSERT_NE(client, nullptr);
    const std::vector<uint8_t> key = handheld.Key;
    EXPECT_EQ(Exchange(handheld, BuildFrame("PDALOGIN", LoginPayload("anna", "SN1"))).Type, "PCLOGIN");
    const THandheldFrame again = Exchange(handheld, BuildFrame("PDAHELO", HelloPayload()));
    EXPECT_EQ(again.Type, "PCHELO") << "scrambled in step";
    EXPECT_EQ(again.Payload.substr(391), std::string(key.begin(), key.end()));
    EXPECT_EQ(client->State, csGreeted);
    // Logging in twice without a new greeting is out of sequence; after it, it is fine.
    EXPECT_EQ(Exchange(handheld, BuildFrame("PDALOGIN", LoginPayload("anna", "SN1"))).Type, "PCLOGIN");
    ExpectError(Exchange(handheld, BuildFrame("PDALOGIN", LoginPayload("anna", "SN1"))),
                "Error processing message, Data packets out of sequence, client not recognized",
                "caller: Processing Message");
    EXPECT_EQ(client->State, csLoggedIn);
}

TEST_F(WirelessClientTest, LongErrorTextIsCut) {
    TTestHandheld handheld;
    TZelWirelessClient* client = Greeted(handheld);
    ASSERT_NE(client, nullptr);
    const std::string message(300, 'm');
    THandheldFrame reply;
    client->SendError(message, "ctx");
    ASSERT_TRUE(RunPumping([&] { reply = handheld.ReadFrame(); }));
    EXPECT_EQ(reply.Payload.substr(PCERR_MESSAGE, 250), std::string(249, 'm') + '\0');
    EXPECT_EQ(reply.Text(PCERR_CONTEXT, 250), "ctx");
}

// A client freed by its owner at the start of its own read notification.
TEST_F(WirelessClientTest, FreedFromItsOwnChangeNotification) {
    TTestHandheld handheld;
    TZelWirelessClient* client = server.Connect(handheld);
    ASSERT_NE(client, nullptr);
    client->OnChange = [this](TZelWirelessClient*) { server.Server().FreeClient(0); };
    ASSERT_TRUE(handheld.SendFrame("PDAHELO", HelloPayload()));
    ASSERT_TRUE(PumpUntil([&] { return server.Server().Clients.empty(); }));
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
    EXPECT_TRUE(closed);
}

} // namespace
