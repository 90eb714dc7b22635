#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FaultSupport.h"
#include "InProcessServer.h"
#include "net/Zel_Socket.h"
#include "protocol/WirelessMessage.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"

// Misbehaving peers, one per case; after each a normal handheld must still be
// served, and the peer's own connection must end cleanly.

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

constexpr int kItems = 1500; // more than one reply can carry

std::string ItemNo(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "R%04d", n);
    return text;
}

std::string Descr(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "Item %04d ", n);
    return text + std::string(50, 'x');
}

// True when every row of a select of fields 1 and 2 is a whole item and the
// row numbers run from 0 without a gap.
::testing::AssertionResult WholeItemRows(const std::map<int, std::vector<std::string>>& rows) {
    int expected = 0;
    for (const auto& [number, values] : rows) {
        if (number != expected++)
            return ::testing::AssertionFailure() << "row number " << number;
        if (values.size() != 3)
            return ::testing::AssertionFailure() << "row " << number << " has " << values.size() << " values";
        const int item = std::atoi(values[0].c_str() + 1);
        if (values[0] != ItemNo(item) || values[1] != Descr(item) || values[2] != std::to_string(item))
            return ::testing::AssertionFailure()
                   << "row " << number << " is " << values[0] << "/" << values[1];
    }
    return ::testing::AssertionSuccess();
}

class NetworkFaultTest;

struct NetworkFault {
    const char* name;
    void (*run)(NetworkFaultTest&);
};

void PrintTo(const NetworkFault& fault, std::ostream* os) {
    *os << fault.name;
}

class NetworkFaultTest : public ::testing::TestWithParam<NetworkFault> {
public:
    static void SetUpTestSuite() {
        OdbcTestEnv::Get().ExecSql(
            TestDriver::SQLite,
            {"DROP TABLE IF EXISTS Items",
             "CREATE TABLE Items (ItemNo VARCHAR(20) PRIMARY KEY, Descr VARCHAR(80), Qty INTEGER)",
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                 std::to_string(kItems) +
                 ") INSERT INTO Items SELECT printf('R%04d', i), printf('Item %04d ', i) || '" +
                 std::string(50, 'x') + "', i FROM n"});
    }

    // A handheld with nothing wrong: the whole opening, one select, goodbye.
    void ExpectServedNormally() {
        TTestHandheld handheld;
        ASSERT_NE(server.Open(handheld, "norm", "SN-NORMAL"), nullptr);
        const THandheldFrame data =
            server.Exchange(handheld, "PDASELECT", SelectPayload(0, 0, {1, 2}, {{0, ItemNo(7)}}));
        ASSERT_EQ(data.Type, "PCDATA") << ErrorText(data);
        const auto rows = ParseDataRows(data.Payload);
        ASSERT_TRUE(rows.has_value());
        EXPECT_EQ(*rows, (std::map<int, std::vector<std::string>>{{0, {ItemNo(7), Descr(7), "7"}}}));
        ASSERT_TRUE(handheld.SendFrame("PDABYE", ""));
        bool closed = false;
        ASSERT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
        EXPECT_TRUE(closed);
    }

    // Shrinks the server's send buffer of the client, so that a large reply waits in its queue.
    static void ShrinkSendBuffer(TZelWirelessClient& client) {
        const int size = 4096;
        ::setsockopt(client.Socket->Handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }

    TInProcessServer server{
        "NetworkFaults.ini",
        "[Session01]\r\nSessionName=Items\r\nEnabled=1\r\nDSN=" + OdbcTestEnv::DsnName(TestDriver::SQLite) +
            "\r\nTablename=Items\r\nKeyFieldName=ItemNo\r\nField01=Descr\r\nField02=Qty\r\n"};
};

// The peer resets its connection when offset bytes of a select frame have gone out.
void ResetAfter(NetworkFaultTest& t, size_t offset) {
    TTestHandheld handheld;
    TZelWirelessClient* client = t.server.Open(handheld, "anna", "SN-RESET");
    ASSERT_NE(client, nullptr);
    const std::string frame = BuildFrame("PDASELECT", SelectPayload(0, 0, {1}, {{0, ItemNo(1)}}));
    const int32_t before = client->BytesIn;
    ASSERT_TRUE(handheld.SendBytes(frame.substr(0, offset)));
    ASSERT_TRUE(PumpUntil([&] { return client->BytesIn == before + int32_t(offset); }));
    handheld.Reset();
    ASSERT_TRUE(PumpUntil([&] { return client->State == csClosed; }));
    EXPECT_EQ(t.server.Test.LogCount("Disconnect from anna@"), 1);
    EXPECT_EQ(client->MessagesOut, 3) << "nothing answered the unfinished frame";
}

// Every frame of the opening and a select, one byte per send.
void OneByteAtATime(NetworkFaultTest& t) {
    TTestHandheld handheld;
    TZelWirelessClient* client = t.server.Test.Connect(handheld);
    ASSERT_NE(client, nullptr);
    std::vector<THandheldFrame> replies;
    auto trickle = [&](const std::string& type, const std::string& payload) {
        const std::string frame = BuildFrame(type, payload);
        for (char byte : frame) {
            handheld.SendBytes(std::string(1, byte));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        replies.push_back(handheld.ReadFrame());
    };
    ASSERT_TRUE(RunPumping(
        [&] {
            trickle("PDAHELO", HelloPayload());
            trickle("PDALOGIN", LoginPayload("anna", "SN-TRICKLE"));
            trickle("PDASSEL", SessionPayload("1"));
            trickle("PDASELECT", SelectPayload(0, 0, {1, 2}, {{0, ItemNo(42)}}));
        },
        20000));
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0].Type, "PCHELO");
    EXPECT_EQ(replies[1].Type, "PCLOGIN");
    EXPECT_EQ(replies[2].Text(0, 1), "Y");
    ASSERT_EQ(replies[3].Type, "PCDATA") << ErrorText(replies[3]);
    EXPECT_EQ(ParseDataRows(replies[3].Payload),
              (std::map<int, std::vector<std::string>>{{0, {ItemNo(42), Descr(42), "42"}}}));
    EXPECT_EQ(client->MessagesIn, 4);
}

// The handheld asks for a full reply and stops reading: the server goes on
// serving others, and the reply arrives whole once the handheld reads again.
void StopsReadingDuringLargeReply(NetworkFaultTest& t) {
    TTestHandheld stalled;
    TZelWirelessClient* client = t.server.Open(stalled, "anna", "SN-STALL", 1, 4096);
    ASSERT_NE(client, nullptr);
    NetworkFaultTest::ShrinkSendBuffer(*client);
    ASSERT_TRUE(stalled.SendFrame("PDASELECT", SelectPayload(0, 0, {1, 2})));
    ASSERT_TRUE(PumpUntil([&] { return client->MessagesOut == 4; }));
    EXPECT_GT(client->Socket->QueuedBytes(), 0);

    t.ExpectServedNormally();

    THandheldFrame reply, next;
    ASSERT_TRUE(RunPumping([&] {
        reply = stalled.ReadFrame();
        stalled.SendFrame("PDACOUNT", SelectPayload(0, 0, {}));
        next = stalled.ReadFrame();
    }));
    ASSERT_TRUE(reply.Received);
    EXPECT_GT(reply.Payload.size(), 90000u);
    EXPECT_LE(reply.Payload.size(), size_t(ZEL_MAX_PAYLOAD));
    const auto rows = ParseDataRows(reply.Payload);
    ASSERT_TRUE(rows.has_value());
    EXPECT_GT(rows->size(), 500u);
    EXPECT_TRUE(WholeItemRows(*rows));
    EXPECT_EQ(next.Type, "PCCOUNT") << "the key positions stayed in step";
    EXPECT_EQ(next.Text(0, 8), "00001500");
}

// The handheld sends a request and ends its sending side at once: the reply
// it is still waiting for must reach it whole before the server closes.
void HalfClosesWithLargeReplyPending(NetworkFaultTest& t) {
    TTestHandheld handheld;
    TZelWirelessClient* client = t.server.Open(handheld, "anna", "SN-HALF", 1, 4096);
    ASSERT_NE(client, nullptr);
    NetworkFaultTest::ShrinkSendBuffer(*client);
    ASSERT_TRUE(handheld.SendFrame("PDASELECT", SelectPayload(0, 0, {1, 2})));
    handheld.HalfClose();
    ASSERT_TRUE(PumpUntil([&] { return client->MessagesOut == 4; }));
    PumpFor(100); // the end of the handheld's stream is seen meanwhile

    THandheldFrame reply;
    ASSERT_TRUE(RunPumping([&] { reply = handheld.ReadFrame(); }));
    ASSERT_TRUE(reply.Received) << "reply cut short: " << reply.Payload.size() << " bytes";
    const auto rows = ParseDataRows(reply.Payload);
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(WholeItemRows(*rows));
    // Delivered, the connection ends; the monitor's refresh frees it.
    ASSERT_TRUE(PumpUntil([&] { return client->State == csClosed; }));
    EXPECT_EQ(t.server.Test.Server().RemoveClosedClients(), 1);
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
    EXPECT_TRUE(closed);
}

// Connections that never send a byte hold no one up, and end quietly.
void ConnectsAndSendsNothing(NetworkFaultTest& t) {
    std::vector<std::unique_ptr<TTestHandheld>> idle;
    std::vector<TZelWirelessClient*> clients;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<TTestHandheld>());
        clients.push_back(t.server.Test.Connect(*idle.back()));
        ASSERT_NE(clients.back(), nullptr);
    }
    PumpFor(200);
    t.ExpectServedNormally();
    for (TZelWirelessClient* client : clients) {
        EXPECT_EQ(client->State, csConnected);
        EXPECT_EQ(client->BytesIn, 0);
        EXPECT_EQ(client->MessagesOut, 0);
    }
    idle.clear();
    EXPECT_TRUE(PumpUntil([&] {
        for (TZelWirelessClient* client : clients)
            if (client->State != csClosed)
                return false;
        return true;
    }));
}

// One malformed frame of a few kinds, chosen by the generator.
std::string MalformedFrame(std::mt19937& random, int kind) {
    auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    auto junk = [&](int n) {
        std::string bytes(size_t(n), '\0');
        for (char& c : bytes)
            c = char(below(256));
        return bytes;
    };
    const std::string hello = BuildFrame("PDAHELO", HelloPayload());
    const char* types[] = {"PDAHELO", "PDALOGIN", "PDASSEL", "PDASELECT", "PDACOUNT", "PDAPOST", "PDADELETE"};
    const char* lengths[] = {"ABCDE", "-0001", " 0060", "0x010", "99999", "00-60", "+0060"};
    switch (kind) {
    case 0: // noise
        return junk(1 + below(80));
    case 1: { // one header byte replaced
        std::string frame = hello;
        frame[size_t(below(17))] = char(below(256));
        return frame;
    }
    case 2: // a length field that is no length
        return "ZWN" + FixedField("PDAHELO", 9) + lengths[below(7)] + HelloPayload();
    case 3: // the header cut short
        return hello.substr(0, size_t(1 + below(16)));
    case 4: // the payload cut short
        return hello.substr(0, size_t(17 + below(60)));
    case 5: // a known type with a payload of the wrong size
        return BuildFrame(types[below(7)], junk(below(300)));
    case 6: // a proper greeting, then noise on the scrambled connection
        return hello + junk(1 + below(100));
    default: // an unknown type of any bytes
        return "ZWN" + junk(9) + "00010" + junk(10);
    }
}

// 200 malformed frames, each on a connection of its own that then ends its
// sending side: the server answers with whole error frames or says nothing,
// and ends every connection; what the monitor's refresh would free goes.
void MalformedFramesOnSeparateConnections(NetworkFaultTest& t) {
    constexpr int count = 200;
    std::mt19937 random(20240611);
    TZelWirelessServer& server = t.server.Test.Server();
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const std::string frame = MalformedFrame(random, i % 8);
        TTestHandheld peer;
        ASSERT_NE(t.server.Test.Connect(peer), nullptr);
        TZelWirelessClient* client = server.Clients.back().get();
        ASSERT_TRUE(RunPumping([&] {
            peer.SendBytes(frame);
            peer.HalfClose();
        }));
        ASSERT_TRUE(PumpUntil([&] { return client->State == csClosed; }));
        EXPECT_EQ(server.RemoveClosedClients(), 1);
        std::string received;
        ASSERT_TRUE(RunPumping([&] { received = peer.ReadBytes(size_t(1) << 20); }));
        // Only the first reply is in the clear: a greeting switches scrambling on.
        if (!received.empty()) {
            ASSERT_GE(received.size(), 17u);
            const std::string type = received.substr(3, 9).substr(0, received.substr(3, 9).find('\0'));
            EXPECT_TRUE(type == "PCERR" || type == "PCHELO") << type;
            EXPECT_GE(received.size(), 17 + std::stoul(received.substr(12, 5)));
        }
    }
    EXPECT_TRUE(server.Clients.empty());
    EXPECT_TRUE(server.IsEnabled());
}

const NetworkFault kNetworkFaults[] = {
    {"ResetInTheHeader", [](NetworkFaultTest& t) { ResetAfter(t, 9); }},
    {"ResetInThePayload", [](NetworkFaultTest& t) { ResetAfter(t, 20); }},
    {"OneByteAtATime", OneByteAtATime},
    {"StopsReadingDuringALargeReply", StopsReadingDuringLargeReply},
    {"HalfClosesWithALargeReplyPending", HalfClosesWithLargeReplyPending},
    {"ConnectsAndSendsNothing", ConnectsAndSendsNothing},
    {"MalformedFramesOnSeparateConnections", MalformedFramesOnSeparateConnections},
};

TEST_P(NetworkFaultTest, ThenANormalHandheldIsServed) {
    GetParam().run(*this);
    ExpectServedNormally();
}

INSTANTIATE_TEST_SUITE_P(Faults, NetworkFaultTest, ::testing::ValuesIn(kNetworkFaults),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
