#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/ServerControl.h"
#include "app/ServerThread.h"
#include "base/AppPaths.h"
#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/WirelessPrefsMgr.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/TestHandheld.h"

namespace {

// Calls and posts from several threads at once, each waiting for its own:
// every one runs once, on the server's thread, in the order its thread
// posted them; a failure comes back to the caller.
TEST(ServerThreadTest, CallsAndPostsFromManyThreadsRunInOrderOnTheThread) {
    EnsureTestApp();
    TServerThread thread;
    constexpr int kCallers = 4;
    constexpr int kRounds = 5000;
    std::vector<int> lastSeen(kCallers, -1); // server thread only
    int outOfOrder = 0, offThread = 0, ran = 0;
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c)
        callers.emplace_back([&, c] {
            for (int round = 0; round < kRounds; ++round) {
                auto step = [&, c, round] {
                    offThread += thread.IsCurrent() ? 0 : 1;
                    outOfOrder += lastSeen[c] == round - 1 ? 0 : 1;
                    lastSeen[c] = round;
                    ++ran;
                };
                if (round % 2 == 0)
                    thread.Post(step);
                else
                    thread.Call(step);
            }
        });
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(thread.Call([&] { return ran; }), kCallers * kRounds);
    EXPECT_EQ(thread.Call([&] { return outOfOrder + offThread; }), 0);
    EXPECT_THROW(thread.Call([]() -> int { throw Exception("refused"); }), Exception);
    EXPECT_EQ(thread.Call([] { return 7; }), 7) << "the thread serves on after a failure";
}

class ServerControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureTestApp();
        m_port = FreeLoopbackPort();
        m_ini = m_dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString();
        TIniFile(m_ini).WriteString("Settings", "ServerPort", std::to_string(m_port));
        TIniFile(m_ini).WriteString("Settings", "Server IP Address", "127.0.0.1");
        m_prefs = std::make_unique<TZel_WirelessPrefsMgr>(MakeAppPaths("/nonexistent/ZelWireless", m_ini));
        m_control = std::make_unique<TServerControl>(m_prefs.get());
        m_control->OnChange = [this] { ++m_changes; };
        m_control->OnClientAddDrop = [this] { ++m_addDrops; };
        m_control->Create([](const std::string&) {});
        m_control->EnableServer();
        ASSERT_TRUE(m_control->IsEnabled());
    }

    QTemporaryDir m_dir;
    int m_port = 0;
    std::string m_ini;
    std::unique_ptr<TZel_WirelessPrefsMgr> m_prefs;
    std::unique_ptr<TServerControl> m_control;
    int m_changes = 0;
    int m_addDrops = 0;
};

// The server answers while this thread does not run its loop at all; the
// window's copy follows when it does, and however busy the handhelds are,
// it is rebuilt at most once per 200 ms.
TEST_F(ServerControlTest, HandheldsAreServedWithoutTheWindowAndSnapshotsAreCoalesced) {
    constexpr int kHandhelds = 4;
    std::vector<std::unique_ptr<TTestHandheld>> handhelds;
    for (int i = 0; i < kHandhelds; ++i) {
        handhelds.push_back(std::make_unique<TTestHandheld>());
        ASSERT_TRUE(handhelds.back()->Connect(m_port));
        ASSERT_TRUE(handhelds.back()->Hello().Received);
        ASSERT_EQ(handhelds.back()->Login("user" + std::to_string(i), "SN-" + std::to_string(i)).Type,
                  "PCLOGIN");
    }
    EXPECT_TRUE(m_control->Snapshot().Clients.empty()) << "nothing reaches the window before its loop runs";
    ASSERT_TRUE(PumpUntil([&] { return m_control->Snapshot().Clients.size() == kHandhelds; }));
    EXPECT_GE(m_addDrops, 1);

    // Constant traffic for a second, the loop of this thread pumping meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread traffic([&] {
        while (!stop)
            for (auto& handheld : handhelds)
                answered += handheld->Hello().Received ? 1 : 0;
    });
    PumpFor(50);
    const int changesBefore = m_changes;
    QElapsedTimer elapsed;
    elapsed.start();
    PumpFor(1000);
    const int changes = m_changes - changesBefore;
    const qint64 ms = elapsed.elapsed();
    stop = true;
    traffic.join();
    EXPECT_GT(answered.load(), 100);
    EXPECT_GE(changes, 2) << "the window keeps following";
    EXPECT_LE(changes, ms / 200 + 2);
    EXPECT_GT(m_control->Snapshot().Clients.front().MessagesOut, 1);
}

// A request's own copy may overtake one the server's thread sent before it:
// the older copy never replaces it.
TEST_F(ServerControlTest, AnOlderSnapshotNeverReplacesARequestsOwn) {
    TTestHandheld handheld;
    ASSERT_TRUE(handheld.Connect(m_port));
    // The connection's snapshot is sent, and waits for this thread's loop,
    // which does not run here; the disconnect then takes its own at once.
    for (int i = 0;
         i < 100 && m_control->Call([](TZelApplication& zel) { return zel.Server()->Clients.empty(); }); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // past the 200 ms coalescing
    m_control->DisconnectAll();
    m_control->CleanupClosedClients();
    ASSERT_TRUE(m_control->Snapshot().Clients.empty());
    int staleShown = 0;
    m_control->OnChange = [&] { staleShown += m_control->Snapshot().Clients.empty() ? 0 : 1; };
    PumpFor(400);
    EXPECT_EQ(staleShown, 0);
    EXPECT_TRUE(m_control->Snapshot().Clients.empty());
    m_control->SetEnabled(false);
    EXPECT_FALSE(m_control->IsEnabled());
    PumpFor(300);
    EXPECT_FALSE(m_control->IsEnabled());
    EXPECT_EQ(m_control->StatusText(), "Server disabled");
}

} // namespace
