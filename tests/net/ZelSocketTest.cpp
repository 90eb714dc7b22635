#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "net/Zel_Socket.h"
#include "support/EventLoop.h"
#include "support/TestHandheld.h"

namespace {

// A listener on a free loopback port that keeps every accepted connection.
class ZelSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureTestApp();
        listener = std::make_unique<TZel_Socket>();
        listener->Address = "127.0.0.1";
        listener->Port = FreeLoopbackPort();
        listener->SetTransport(TSocketTransport::TCP);
        listener->OnAccept = [this](TZel_Socket*, std::unique_ptr<TZel_Socket> connection) {
            accepted.push_back(std::move(connection));
        };
        ASSERT_TRUE(listener->Listen()) << listener->LastErrorText;
    }

    // The tests' notifications capture their locals, which are gone by now.
    void TearDown() override {
        for (auto& connection : accepted)
            if (connection) {
                connection->OnLog = nullptr;
                connection->OnDisconnect = nullptr;
                connection->OnRead = nullptr;
            }
    }

    // Connects a peer and waits until the listener has handed over the connection.
    TZel_Socket* ConnectPeer(TTestHandheld& peer, int receiveBuffer = 0) {
        const size_t before = accepted.size();
        EXPECT_TRUE(peer.Connect(listener->Port, 5000, receiveBuffer));
        EXPECT_TRUE(PumpUntil([&] { return accepted.size() > before; }));
        return accepted.size() > before ? accepted.back().get() : nullptr;
    }

    std::unique_ptr<TZel_Socket> listener;
    std::vector<std::unique_ptr<TZel_Socket>> accepted;
};

TEST(ZelSocket, ListenRefusals) {
    EnsureTestApp();
    struct Case {
        const char* name;
        bool transport;
        std::string address;
        int32_t port;
        const char* text;
    } cases[] = {
        {"no transport", false, "127.0.0.1", 4000, "Socket transport not assigned or invalid"},
        {"no address", true, "", 4000, "Socket address missing or invalid"},
        {"port 0", true, "127.0.0.1", 0, "Socket port number not valid"},
        {"port beyond 16 bits", true, "127.0.0.1", 70000, "Socket port number not valid"},
        {"letters", true, "localhost", 4000, "Invalid IP address for listen operation"},
        {"broadcast", true, "255.255.255.255", 4000, "Invalid IP address for listen operation"},
    };
    for (const Case& c : cases) {
        TZel_Socket socket;
        if (c.transport)
            socket.SetTransport(TSocketTransport::TCP);
        socket.Address = c.address;
        socket.Port = c.port;
        EXPECT_FALSE(socket.Listen()) << c.name;
        EXPECT_EQ(socket.LastErrorText, c.text) << c.name;
        EXPECT_EQ(socket.LastError, -1) << c.name;
        EXPECT_EQ(socket.State, TSocketState::Closed) << c.name;
    }
}

TEST_F(ZelSocketTest, PortInUseAndSecondListen) {
    TZel_Socket second;
    second.SetTransport(TSocketTransport::TCP);
    second.Address = "127.0.0.1";
    second.Port = listener->Port;
    EXPECT_FALSE(second.Listen());
    EXPECT_EQ(second.LastError, 10048);
    EXPECT_EQ(second.LastErrorText, "BIND: WSAEADDRINUSE");
    EXPECT_EQ(second.State, TSocketState::Closed);

    EXPECT_FALSE(listener->Listen());
    EXPECT_EQ(listener->LastErrorText, "Socket state not valid for listening: WSAEALREADY");
    EXPECT_EQ(listener->State, TSocketState::Listening);
}

TEST(ZelSocket, TransportIsAssignedOnceUntilClose) {
    EnsureTestApp();
    TZel_Socket socket;
    socket.SetTransport(TSocketTransport::TCP);
    try {
        socket.SetTransport(TSocketTransport::TCP);
        FAIL() << "second SetTransport did not raise";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "TZel_Socket.SetTransport: already assigned, cannot reassign socket transport");
    }
    socket.Close();
    EXPECT_NO_THROW(socket.SetTransport(TSocketTransport::TCP));
    EXPECT_EQ(socket.Transport, TSocketTransport::TCP);
    EXPECT_GE(socket.Handle, 0);

    TZel_Socket icmp;
    icmp.SetTransport(TSocketTransport::ICMP);
    EXPECT_EQ(icmp.LastErrorText, "Create ICMP socket: transport not supported");
    EXPECT_EQ(icmp.Transport, TSocketTransport::None);
}

TEST_F(ZelSocketTest, AcceptsEveryPendingConnectionAndKeepsListening) {
    TTestHandheld peers[3];
    for (TTestHandheld& peer : peers)
        ASSERT_TRUE(peer.Connect(listener->Port));
    ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 3; }));
    EXPECT_EQ(listener->State, TSocketState::Listening);
    for (const auto& connection : accepted) {
        EXPECT_TRUE(connection->IsConnected());
        EXPECT_EQ(connection->PeerAddress(), "127.0.0.1");
    }
}

TEST_F(ZelSocketTest, ReadNotificationsAndReceive) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer);
    ASSERT_NE(connection, nullptr);
    std::string received;
    connection->OnRead = [&](TZel_Socket* sender) {
        char buffer[4];
        int32_t size = sizeof buffer;
        ASSERT_TRUE(sender->Recv(buffer, size));
        received.append(buffer, static_cast<size_t>(size));
    };
    int32_t size = 10;
    char buffer[10];
    EXPECT_TRUE(connection->Recv(buffer, size));
    EXPECT_EQ(size, 0) << "nothing pending";
    EXPECT_EQ(connection->LastError, 10035);

    ASSERT_TRUE(peer.SendBytes("0123456789"));
    // One receive of at most 4 bytes per notification: the rest brings more notifications.
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 10; }));
    EXPECT_EQ(received, "0123456789");
}

TEST_F(ZelSocketTest, PeerCloseIsReportedOnceAndStopsNotifications) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer);
    ASSERT_NE(connection, nullptr);
    int disconnects = 0;
    int reads = 0;
    connection->OnDisconnect = [&](TZel_Socket*) { ++disconnects; };
    connection->OnRead = [&](TZel_Socket*) { ++reads; };
    peer.Close();
    ASSERT_TRUE(PumpUntil([&] { return disconnects == 1; }));
    PumpFor(50);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(connection->State, TSocketState::Closed);
    EXPECT_GE(connection->Handle, 0) << "the descriptor stays open until Close";
    EXPECT_EQ(connection->PeerAddress(), "127.0.0.1");

    // Destroying a connection reports the disconnect again; Close leaves no address.
    connection->Close();
    EXPECT_EQ(disconnects, 2);
    EXPECT_EQ(connection->PeerAddress(), "");
}

TEST_F(ZelSocketTest, RecvFindingThePeerGone) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer);
    ASSERT_NE(connection, nullptr);
    int disconnects = 0;
    connection->OnDisconnect = [&](TZel_Socket*) { ++disconnects; };
    std::vector<std::pair<int, std::string>> logs;
    connection->OnLog = [&](int level, const std::string& text) { logs.emplace_back(level, text); };
    peer.Close();
    usleep(20000);
    char buffer[8];
    int32_t size = sizeof buffer;
    EXPECT_FALSE(connection->Recv(buffer, size));
    EXPECT_EQ(size, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(connection->State, TSocketState::Closed);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], std::make_pair(1, std::string("(noname): recv: socket closed by peer")));
}

TEST_F(ZelSocketTest, SendOnClosedObjectAndCloseLogs) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer);
    ASSERT_NE(connection, nullptr);
    std::vector<std::string> logs;
    connection->OnLog = [&](int level, const std::string& text) {
        logs.push_back(std::to_string(level) + text);
    };
    int disconnects = 0;
    connection->OnDisconnect = [&](TZel_Socket*) { ++disconnects; };
    EXPECT_TRUE(connection->Close());
    EXPECT_EQ(connection->LastErrorText, "CLOSE: SUCCESS");
    EXPECT_EQ(logs, (std::vector<std::string>{"1(noname): disconnecting",
                                              "4(noname): Disconnected from 127.0.0.1"}));
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(connection->Handle, -1);
    EXPECT_EQ(connection->Transport, TSocketTransport::None);

    int32_t length = 5;
    EXPECT_FALSE(connection->Send("hello", length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(connection->LastError, 10057);
    EXPECT_EQ(connection->LastErrorText, "SEND: WSAENOTCONN");
    EXPECT_FALSE(connection->Write("hello", 5));
    EXPECT_EQ(connection->LastError, 10057);
    EXPECT_TRUE(peer.WaitClosed());
}

// More than the socket buffers hold: the rest waits in the queue and follows
// in order as the peer reads.
TEST_F(ZelSocketTest, WriteQueuesWhatTheSocketDoesNotTake) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer, 4096);
    ASSERT_NE(connection, nullptr);
    const int sndbuf = 4096;
    ::setsockopt(connection->Handle, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    connection->MaxQueuedBytes = 8 * 1024 * 1024;
    std::string data;
    for (int i = 0; data.size() < 3 * 1024 * 1024; ++i)
        data += std::to_string(i) + ",";
    const std::string head = data.substr(0, 1000);
    ASSERT_TRUE(connection->Write(head.data(), static_cast<int32_t>(head.size()), data.data() + 1000,
                                  static_cast<int32_t>(data.size() - 1000)));
    EXPECT_GT(connection->QueuedBytes(), 0);
    // A plain Send must not overtake the queue.
    int32_t length = 1;
    EXPECT_FALSE(connection->Send("x", length));
    EXPECT_EQ(connection->LastError, 10035);

    std::string received;
    ASSERT_TRUE(RunPumping([&] { received = peer.ReadBytes(data.size()); }));
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
    EXPECT_EQ(connection->QueuedBytes(), 0);
}

TEST_F(ZelSocketTest, QueueBoundRefusesWithoutClosing) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer, 4096);
    ASSERT_NE(connection, nullptr);
    const int sndbuf = 4096;
    ::setsockopt(connection->Handle, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    const std::string block(64 * 1024, 'q');
    bool refused = false;
    for (int i = 0; i < 40 && !refused; ++i)
        refused = !connection->Write(block.data(), static_cast<int32_t>(block.size()));
    ASSERT_TRUE(refused);
    EXPECT_EQ(connection->LastError, 10055);
    EXPECT_EQ(connection->LastErrorText, "SEND: WSAENOBUFS");
    EXPECT_TRUE(connection->IsConnected());
    EXPECT_LE(connection->QueuedBytes(), ZEL_MAX_SEND_QUEUE);
}

// A peer that has reset: sending neither raises SIGPIPE nor keeps the connection.
TEST_F(ZelSocketTest, WritingToAResetPeerClosesOnlyThatConnection) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer);
    ASSERT_NE(connection, nullptr);
    int disconnects = 0;
    connection->OnDisconnect = [&](TZel_Socket*) { ++disconnects; };
    peer.Reset();
    usleep(20000);
    const std::string block(1024, 'r');
    bool failed = false;
    for (int i = 0; i < 10 && !failed; ++i)
        failed = !connection->Write(block.data(), static_cast<int32_t>(block.size()));
    // The reset may also arrive as the end of the stream first.
    if (!failed) {
        ASSERT_TRUE(PumpUntil([&] { return disconnects > 0; }));
    }
    EXPECT_EQ(connection->State, TSocketState::Closed);
    EXPECT_GE(disconnects, 1);
    EXPECT_EQ(listener->State, TSocketState::Listening);
}

// The owner frees the socket from inside its own notifications.
TEST_F(ZelSocketTest, FreedInsideItsOwnNotifications) {
    TTestHandheld peer;
    TZel_Socket* connection = ConnectPeer(peer);
    ASSERT_NE(connection, nullptr);
    bool freed = false;
    connection->OnRead = [&](TZel_Socket* sender) {
        for (auto& owned : accepted)
            if (owned.get() == sender)
                owned.reset();
        freed = true;
    };
    ASSERT_TRUE(peer.SendBytes("x"));
    ASSERT_TRUE(PumpUntil([&] { return freed; }));
    EXPECT_TRUE(peer.WaitClosed());

    // A listener freed while it hands over a connection; the connection lives on.
    const int port = listener->Port;
    listener->OnAccept = [&](TZel_Socket*, std::unique_ptr<TZel_Socket> connection) {
        accepted.push_back(std::move(connection));
        listener.reset();
    };
    TTestHandheld second;
    ASSERT_TRUE(second.Connect(port));
    ASSERT_TRUE(PumpUntil([&] { return !listener; }));
    ASSERT_TRUE(accepted.back());
    EXPECT_TRUE(accepted.back()->IsConnected());
    PumpFor(20);
}

} // namespace
