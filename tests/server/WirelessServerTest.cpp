#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>

#include <QEvent>
#include <QObject>
#include <vector>

#include "base/Zel_EventLogger.h"
#include "net/WinsockUtil.h"
#include "net/Zel_Socket.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/TestHandheld.h"
#include "support/TestServer.h"

namespace {

const std::string DISABLED = "Wireless server is not currently enabled.";

TEST(WirelessServer, CreatedNotListening) {
    EnsureTestApp();
    TZelWirelessServer server(nullptr);
    EXPECT_TRUE(server.Enabled);
    EXPECT_FALSE(server.IsListening());
    EXPECT_FALSE(server.IsEnabled());
    EXPECT_EQ(server.ServerName, "Zel Wireless Server");
    EXPECT_EQ(server.DisabledMessage, DISABLED);
    EXPECT_EQ(server.Port, 0);
    // Nothing is posted without an owner.
    server.PostChange();
}

TEST(WirelessServer, ListenDescription) {
    EnsureTestApp();
    TZelWirelessServer server(nullptr);
    server.IPAddress = "10.1.2.3";
    server.Port = 4402;
    EXPECT_EQ(server.ListenDescription(), "10.1.2.3:4402");

    std::vector<std::string> interfaces;
    ASSERT_TRUE(GetNonLoopbackInterfaces(&interfaces));
    std::string expected;
    for (const std::string& address : interfaces)
        expected += (expected.empty() ? "" : ", ") + address + ":4402";
    // "Every interface" stays what the operator chose, so later listening
    // sockets keep serving loopback and the other interfaces.
    server.IPAddress = "0.0.0.0";
    EXPECT_EQ(server.ListenDescription(), expected);
    EXPECT_EQ(server.IPAddress, "0.0.0.0");
    // No address at all: the server takes the last interface.
    server.IPAddress.clear();
    EXPECT_EQ(server.ListenDescription(), expected);
    EXPECT_EQ(server.IPAddress, interfaces.empty() ? "" : interfaces.back());
}

TEST(WirelessServer, TrafficTotalsWrapAround) {
    EnsureTestApp();
    TZelWirelessServer server(nullptr);
    server.AddTraffic(INT32_MAX, 5);
    server.AddTraffic(2, 7);
    EXPECT_EQ(server.BytesReceived, INT32_MIN + 1);
    EXPECT_EQ(server.BytesSent, 12);
}

TEST(WirelessServer, PortInUse) {
    TTestServer first;
    TZelWirelessServer second(nullptr);
    second.IPAddress = "127.0.0.1";
    second.Port = first.Port();
    int changes = 0;
    second.OnStatusChange = [&](TZelWirelessServer*) { ++changes; };
    second.SetEnabled(true);
    EXPECT_FALSE(second.IsEnabled());
    EXPECT_EQ(second.ListenSocket->LastErrorText, "BIND: WSAEADDRINUSE");
    EXPECT_EQ(first.LogCount("ERROR: Error starting server: BIND: WSAEADDRINUSE"), 1);
    EXPECT_EQ(changes, 1);
}

TEST(WirelessServer, ChangeEventsReachTheOwnerOnePendingAtATime) {
    TTestServer test;
    test.Server().PostChange();
    test.Server().PostChange();
    test.Server().PostChange();
    PumpFor(20);
    EXPECT_EQ(test.Owner.Count, 1);
    test.Server().PostChange();
    PumpFor(20);
    EXPECT_EQ(test.Owner.Count, 2);

    TTestHandheld handheld;
    ASSERT_NE(test.Connect(handheld), nullptr);
    ASSERT_TRUE(RunPumping([&] { handheld.Hello(); }));
    PumpFor(20);
    EXPECT_GT(test.Owner.Count, 2);
}

// An owner whose handling of a change raises another one, as the monitor's
// refresh does when it frees clients.
class TReentrantOwner : public QObject {
public:
    TZelWirelessServer* Server = nullptr;
    int Count = 0;

protected:
    bool event(QEvent* event) override {
        if (event->type() != static_cast<QEvent::Type>(WM_WIRELESS_CHANGE))
            return QObject::event(event);
        if (++Count == 1)
            Server->PostChange();
        return true;
    }
};

TEST(WirelessServer, AChangeRaisedWhileTheOwnerHandlesOneIsNotLost) {
    EnsureTestApp();
    TReentrantOwner owner;
    TZelWirelessServer server(&owner);
    owner.Server = &server;
    server.PostChange();
    PumpFor(20);
    EXPECT_EQ(owner.Count, 2);
}

class WirelessServerTest : public ::testing::Test {
protected:
    THandheldFrame Exchange(TTestHandheld& handheld, const std::string& type, const std::string& payload) {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] {
            handheld.SendFrame(type, payload);
            reply = handheld.ReadFrame();
        }));
        return reply;
    }

    THandheldFrame Read(TTestHandheld& handheld) {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] { reply = handheld.ReadFrame(); }));
        return reply;
    }

    bool Closed(TTestHandheld& handheld) {
        bool closed = false;
        EXPECT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
        return closed;
    }

    TZelWirelessClient* LoggedIn(TTestHandheld& handheld, const std::string& user,
                                 const std::string& serial) {
        TZelWirelessClient* client = test.Connect(handheld);
        EXPECT_NE(client, nullptr);
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] {
            handheld.Hello();
            reply = handheld.Login(user, serial);
        }));
        EXPECT_EQ(reply.Type, "PCLOGIN");
        return client;
    }

    TTestServer test;
};

TEST_F(WirelessServerTest, AcceptedClientIsListedKeyedAndAnnounced) {
    int addDrops = 0;
    test.Server().OnClientAddDrop = [&](TZelWirelessServer*) { ++addDrops; };
    TTestHandheld handheld;
    TZelWirelessClient* client = test.Connect(handheld);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(addDrops, 1);
    EXPECT_EQ(client->State, csConnected);
    EXPECT_EQ(client->Encoder.KeyLength, 200);
    EXPECT_FALSE(client->Encoder.Enabled);
    EXPECT_EQ(client->GetAddress(), "127.0.0.1");
    EXPECT_EQ(client->GetTitle(), "127.0.0.1");
    EXPECT_EQ(test.LogCount("Connect from 127.0.0.1"), 1);
    EXPECT_TRUE(test.Server().IsListening());
}

TEST_F(WirelessServerTest, ReconnectCleanupBySerialNumber) {
    TTestHandheld old, other, fresh;
    LoggedIn(old, "anna", "SN-1");
    LoggedIn(other, "bert", "SN-2");
    TZelWirelessClient* client = LoggedIn(fresh, "anna", "SN-1");
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(Closed(old));
    ASSERT_EQ(test.Server().Clients.size(), 2u);
    EXPECT_EQ(test.Server().Clients[0]->PDAInfo.SerialNumber, "SN-2");
    EXPECT_EQ(test.Server().Clients[1].get(), client);
    EXPECT_EQ(test.LogCount("Disconnect from anna@127.0.0.1"), 1);

    // Devices without a serial number never clean each other up.
    TTestHandheld blank1, blank2;
    LoggedIn(blank1, "carl", "");
    LoggedIn(blank2, "dora", "");
    EXPECT_EQ(test.Server().Clients.size(), 4u);
}

// Views keep a client's Id: a freed client must never be found under it,
// and a new client never takes an old Id.
TEST_F(WirelessServerTest, ClientIdsOutliveNeitherTheirClientNorTheirServer) {
    TTestHandheld old, fresh, other;
    TZelWirelessClient* first = LoggedIn(old, "anna", "SN-1");
    ASSERT_NE(first, nullptr);
    const uint64_t firstId = first->Id;
    EXPECT_NE(firstId, 0u);
    EXPECT_EQ(test.Server().FindClient(firstId), first);

    TZelWirelessClient* second = LoggedIn(fresh, "anna", "SN-1");
    ASSERT_NE(second, nullptr);
    EXPECT_GT(second->Id, firstId);
    EXPECT_EQ(test.Server().FindClient(firstId), nullptr) << "freed by the re-login";
    EXPECT_EQ(test.Server().FindClient(second->Id), second);
    EXPECT_EQ(test.Server().FindClient(0), nullptr);

    // Re-enabling frees every client; the ids go on counting.
    const uint64_t secondId = second->Id;
    test.Server().SetEnabled(false);
    test.Server().SetEnabled(true);
    EXPECT_EQ(test.Server().FindClient(secondId), nullptr);
    TZelWirelessClient* third = test.Connect(other);
    ASSERT_NE(third, nullptr);
    EXPECT_GT(third->Id, secondId);
}

TEST_F(WirelessServerTest, DisableAnswersEveryHandheldWithTheDisabledMessage) {
    int changes = 0;
    test.Server().OnStatusChange = [&](TZelWirelessServer*) { ++changes; };
    TTestHandheld first, second, third;
    LoggedIn(first, "anna", "SN-1");
    LoggedIn(second, "bert", "SN-2");
    test.Server().SetEnabled(false);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(test.Server().IsEnabled());
    EXPECT_TRUE(test.Server().IsListening());
    for (TTestHandheld* handheld : {&first, &second}) {
        const THandheldFrame reply = Read(*handheld);
        EXPECT_EQ(reply.Type, "PCERR");
        EXPECT_EQ(reply.Text(1, 250), DISABLED);
        EXPECT_EQ(reply.Text(251, 250), "Server shutdown");
    }
    for (const auto& client : test.Server().Clients)
        EXPECT_EQ(client->State, csLoggedIn) << "still connected";

    // A new handheld is still taken on, and answered with the message.
    ASSERT_NE(test.Connect(third), nullptr);
    THandheldFrame reply = Exchange(third, "PDAHELO", HelloPayload());
    EXPECT_EQ(reply.Type, "PCERR");
    EXPECT_EQ(reply.Text(1, 250), DISABLED);
    EXPECT_EQ(reply.Text(251, 250), "");
    EXPECT_TRUE(Closed(third));
    reply = Exchange(first, "PDASSEL", SessionPayload("1"));
    EXPECT_EQ(reply.Text(1, 250), DISABLED);
    EXPECT_TRUE(Closed(first));
    EXPECT_EQ(test.Server().Clients.size(), 3u);

    // Enabling drops every client, connected or not, and reports once.
    test.Server().SetEnabled(true);
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(test.Server().IsEnabled());
    EXPECT_TRUE(test.Server().Clients.empty());
    EXPECT_TRUE(Closed(second));
    test.Server().SetEnabled(true);
    EXPECT_EQ(changes, 2);

    TTestHandheld fourth;
    ASSERT_NE(test.Connect(fourth), nullptr);
    EXPECT_EQ(Exchange(fourth, "PDAHELO", HelloPayload()).Type, "PCHELO");
}

// Replies pile up while the handheld does not read; they arrive whole, in
// order and in step with the key once it does.
TEST_F(WirelessServerTest, RepliesToASlowReaderArriveWholeAndInOrder) {
    TTestHandheld handheld;
    TZelWirelessClient* client = test.Connect(handheld, 4096);
    ASSERT_NE(client, nullptr);
    const int sndbuf = 4096;
    ::setsockopt(client->Socket->Handle, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    ASSERT_TRUE(RunPumping([&] { handheld.Hello(); }));
    const int count = 400;
    ASSERT_TRUE(RunPumping([&] {
        for (int i = 0; i < count; ++i)
            handheld.SendFrame(i % 2 ? "PDAHELO" : "PDAFOO", HelloPayload("v" + std::to_string(i)));
    }));
    ASSERT_TRUE(PumpUntil([&] { return client->MessagesIn == count + 1; }));
    EXPECT_GT(client->Socket->QueuedBytes(), 0);
    const std::vector<uint8_t> key = handheld.Key;
    int good = 0;
    ASSERT_TRUE(RunPumping([&] {
        for (int i = 0; i < count; ++i) {
            const THandheldFrame reply = handheld.ReadFrame();
            if (reply.Type == (i % 2 ? "PCHELO" : "PCERR") &&
                (i % 2 == 0 || reply.Payload.substr(391) == std::string(key.begin(), key.end())))
                ++good;
        }
    }));
    EXPECT_EQ(good, count);
    EXPECT_EQ(client->Socket->QueuedBytes(), 0);
    EXPECT_EQ(client->BytesOut, 608 + (count / 2) * 608 + (count / 2) * 518);
}

TEST_F(WirelessServerTest, AHandheldThatNeverReadsIsDroppedAtTheQueueBound) {
    TTestHandheld greedy, other;
    TZelWirelessClient* client = test.Connect(greedy, 4096);
    ASSERT_NE(client, nullptr);
    const int sndbuf = 4096;
    ::setsockopt(client->Socket->Handle, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    ASSERT_TRUE(RunPumping([&] { greedy.Hello(); }));
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        for (int i = 0; i < 4000 && greedy.SendFrame("PDAHELO", HelloPayload()); ++i) {
        }
        sending = false;
    });
    const bool closed = PumpUntil([&] { return client->State == csClosed; }, 20000);
    // The sender stops when the server has dropped it (or after its 4000 frames).
    while (sending)
        PumpFor(10);
    sender.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(test.LogCount("ERROR: 127.0.0.1: send queue over 1048576 bytes, connection closed"), 1);
    ASSERT_NE(test.Connect(other), nullptr);
    EXPECT_EQ(Exchange(other, "PDAHELO", HelloPayload()).Type, "PCHELO");
}

TEST_F(WirelessServerTest, FiftyHandheldsAtOnceAreAllGreeted) {
    constexpr int count = 50;
    std::atomic<int> greeted{0};
    ASSERT_TRUE(RunPumping(
        [&] {
            std::vector<std::thread> threads;
            for (int i = 0; i < count; ++i)
                threads.emplace_back([&] {
                    TTestHandheld handheld;
                    if (handheld.Connect(test.Port(), 10000) && handheld.Hello().Type == "PCHELO")
                        ++greeted;
                });
            for (std::thread& thread : threads)
                thread.join();
        },
        20000));
    EXPECT_EQ(greeted, count);
    EXPECT_EQ(test.Server().Clients.size(), static_cast<size_t>(count));
}

TEST_F(WirelessServerTest, ResetAndHalfClosedPeersLeaveTheOthersServed) {
    TTestHandheld resetting, halfClosing, steady;
    TZelWirelessClient* reset = test.Connect(resetting);
    TZelWirelessClient* half = test.Connect(halfClosing);
    ASSERT_NE(test.Connect(steady), nullptr);
    ASSERT_TRUE(reset && half);
    EXPECT_EQ(Exchange(steady, "PDAHELO", HelloPayload()).Type, "PCHELO");

    ASSERT_TRUE(resetting.SendBytes(BuildFrame("PDAHELO", HelloPayload()).substr(0, 30)));
    ASSERT_TRUE(PumpUntil([&] { return reset->ReadMsg.BytesRead == 30; }));
    resetting.Reset();
    THandheldFrame halfReply;
    ASSERT_TRUE(RunPumping([&] {
        halfClosing.SendFrame("PDAHELO", HelloPayload());
        halfClosing.HalfClose();
        halfReply = halfClosing.ReadFrame();
    }));
    EXPECT_EQ(halfReply.Type, "PCHELO") << "the reply still reaches a half-closed handheld";
    ASSERT_TRUE(PumpUntil([&] { return reset->State == csClosed && half->State == csClosed; }));

    EXPECT_EQ(Exchange(steady, "PDALOGIN", LoginPayload("anna", "SN-1")).Type, "PCLOGIN");
    TTestHandheld late;
    ASSERT_NE(test.Connect(late), nullptr);
    EXPECT_EQ(Exchange(late, "PDAHELO", HelloPayload()).Type, "PCHELO");
    EXPECT_EQ(test.Server().Clients.size(), 4u);
    EXPECT_EQ(test.Server().RemoveClosedClients(), 2);
    EXPECT_EQ(test.Server().Clients.size(), 2u);
}

// Freeing ended connections keeps the order of the others; one pass frees many.
TEST_F(WirelessServerTest, RemoveClosedClientsFreesTheEndedOnesInOnePass) {
    SetVerbose(true);
    constexpr int count = 6;
    TTestHandheld handhelds[count];
    std::vector<TZelWirelessClient*> clients;
    for (TTestHandheld& handheld : handhelds)
        clients.push_back(test.Connect(handheld));
    for (int i = 0; i < count; i += 2)
        clients[size_t(i)]->CloseConnection();
    EXPECT_EQ(test.Server().RemoveClosedClients(), 3);
    ASSERT_EQ(test.Server().Clients.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(test.Server().Clients[i].get(), clients[2 * i + 1]);
    EXPECT_EQ(test.LogCount(" -- Cleanup: "), 3);
    EXPECT_EQ(test.Server().RemoveClosedClients(), 0);
}

// A new port that is taken: the old socket goes on serving, and the
// operator hears of it once.
TEST_F(WirelessServerTest, AReplacementThatCannotListenLeavesTheOldSocketServing) {
    TZel_Socket blocker;
    blocker.Address = "127.0.0.1";
    blocker.Port = FreeLoopbackPort();
    blocker.SetTransport(TSocketTransport::TCP);
    ASSERT_TRUE(blocker.Listen());
    int changes = 0;
    test.Server().OnStatusChange = [&](TZelWirelessServer*) { ++changes; };
    test.Server().Port = blocker.Port;
    for (int i = 0; i < 2; ++i) {
        TTestHandheld handheld;
        ASSERT_NE(test.Connect(handheld), nullptr) << i;
        EXPECT_EQ(Exchange(handheld, "PDAHELO", HelloPayload()).Type, "PCHELO") << i;
    }
    EXPECT_TRUE(test.Server().IsEnabled());
    EXPECT_EQ(test.Server().ListenSocket->Port, test.Port());
    EXPECT_EQ(test.Server().ListenDescription(), "127.0.0.1:" + std::to_string(test.Port()));
    EXPECT_EQ(test.LogCount("ERROR: Error starting server: BIND: WSAEADDRINUSE"), 1);
    EXPECT_EQ(changes, 1);
}

TEST_F(WirelessServerTest, AConnectionThatDoesNotGreetInTimeIsClosed) {
    test.Server().GreetingTimeoutMs = 300;
    TTestHandheld silent, greeting;
    TZelWirelessClient* quiet = test.Connect(silent);
    TZelWirelessClient* talker = test.Connect(greeting);
    ASSERT_TRUE(quiet && talker);
    EXPECT_EQ(Exchange(greeting, "PDAHELO", HelloPayload()).Type, "PCHELO");
    EXPECT_TRUE(Closed(silent));
    EXPECT_EQ(quiet->State, csClosed);
    PumpFor(400);
    EXPECT_EQ(talker->State, csGreeted) << "a greeted connection may stay as long as it likes";
    EXPECT_EQ(test.LogCount("127.0.0.1: no greeting within"), 1);
}

TEST_F(WirelessServerTest, ConnectionsBeyondMaxClientsAreRefusedWithOneLinePerBurst) {
    test.Server().MaxClients = 2;
    TTestHandheld first, second;
    ASSERT_NE(test.Connect(first), nullptr);
    ASSERT_NE(test.Connect(second), nullptr);
    for (int i = 0; i < 3; ++i) {
        TTestHandheld refused;
        ASSERT_TRUE(refused.Connect(test.Port())) << "the connection is taken, then closed";
        EXPECT_TRUE(Closed(refused)) << i;
    }
    EXPECT_EQ(test.Server().Clients.size(), 2u);
    EXPECT_EQ(test.LogCount("ERROR: Connection from 127.0.0.1 refused: 2 clients connected (MaxClients)"), 1);

    // An ended connection frees its place, listed or not.
    first.Close();
    ASSERT_TRUE(PumpUntil([&] { return test.Server().Clients[0]->State == csClosed; }));
    TTestHandheld third, fourth;
    ASSERT_NE(test.Connect(third), nullptr);
    EXPECT_EQ(Exchange(third, "PDAHELO", HelloPayload()).Type, "PCHELO");
    ASSERT_TRUE(fourth.Connect(test.Port()));
    EXPECT_TRUE(Closed(fourth));
    EXPECT_EQ(test.LogCount("ERROR: Connection from 127.0.0.1 refused"), 2) << "a new burst";
}

// A new port takes effect with the next connection, which the old socket
// still accepts and serves.
TEST_F(WirelessServerTest, ChangedPortTakesEffectAtTheNextAccept) {
    const int oldPort = test.Port();
    const int newPort = FreeLoopbackPort();
    test.Server().Port = newPort;
    TTestHandheld onOld;
    ASSERT_NE(test.Connect(onOld), nullptr);
    EXPECT_EQ(test.Server().ListenSocket->Port, newPort);
    EXPECT_EQ(Exchange(onOld, "PDAHELO", HelloPayload()).Type, "PCHELO");
    TTestHandheld refused;
    EXPECT_FALSE(refused.Connect(oldPort));
    TTestHandheld onNew;
    ASSERT_TRUE(onNew.Connect(newPort));
    ASSERT_TRUE(PumpUntil([&] { return test.Server().Clients.size() == 2; }));
    EXPECT_EQ(Exchange(onNew, "PDAHELO", HelloPayload()).Type, "PCHELO");

    // A new address on the same port cannot be bound beside the old socket
    // (the old one is made to look different so that the server replaces it).
    test.Server().ListenSocket->Address = "0.0.0.0";
    test.Server().IPAddress = "127.0.0.1";
    test.Server().Port = newPort;
    TTestHandheld third, fourth;
    ASSERT_TRUE(third.Connect(newPort));
    ASSERT_TRUE(PumpUntil([&] { return test.Server().Clients.size() == 3; }));
    EXPECT_TRUE(test.Server().IsListening());
    EXPECT_EQ(test.Server().ListenSocket->Address, "127.0.0.1");
    ASSERT_TRUE(fourth.Connect(newPort));
    ASSERT_TRUE(PumpUntil([&] { return test.Server().Clients.size() == 4; }));
    EXPECT_EQ(Exchange(fourth, "PDAHELO", HelloPayload()).Type, "PCHELO");
}

} // namespace
