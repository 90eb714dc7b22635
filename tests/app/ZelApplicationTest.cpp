#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

#include "app/ZelApplication.h"
#include "base/AppPaths.h"
#include "base/IniFile.h"
#include "base/SingleInstance.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_Lib.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/TestHandheld.h"

namespace {

class ZelApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureTestApp();
        m_ini = m_dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString();
        m_prefs = std::make_unique<TZel_WirelessPrefsMgr>(MakeAppPaths("/nonexistent/ZelWireless", m_ini));
    }

    void WriteConfig(const std::string& text) {
        QFile file(QString::fromStdString(m_ini));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.data(), static_cast<qint64>(text.size()));
    }

    QTemporaryDir m_dir;
    std::string m_ini;
    std::unique_ptr<TZel_WirelessPrefsMgr> m_prefs;
};

TEST_F(ZelApplicationTest, UpgradeMigratesOneDigitFieldKeysOnce) {
    WriteConfig("[Session01]\r\nField1=ItemNo\r\nField9=Qty\r\nField12=Keep\r\n"
                "[Session32]\r\nField3=Descr\r\n[Session33]\r\nField1=Untouched\r\n");
    m_prefs->IniFilename = m_ini;
    TZelApplication app(nullptr, m_prefs.get());
    app.UpgradeIniFile();

    TIniFile ini(m_ini);
    EXPECT_EQ(ini.ReadString("Session01", "Field01", "-"), "ItemNo");
    EXPECT_EQ(ini.ReadString("Session01", "Field09", "-"), "Qty");
    EXPECT_FALSE(ini.ValueExists("Session01", "Field1"));
    EXPECT_FALSE(ini.ValueExists("Session01", "Field9"));
    EXPECT_EQ(ini.ReadString("Session01", "Field12", "-"), "Keep");
    EXPECT_EQ(ini.ReadString("Session32", "Field03", "-"), "Descr");
    EXPECT_EQ(ini.ReadString("Session33", "Field1", "-"), "Untouched");
    EXPECT_EQ(ini.ReadString("Version", "Version", ""), GetVersionInfoString("FileVersion"));

    // A file that records a version is not migrated again.
    ini.WriteString("Session01", "Field2", "Later");
    app.UpgradeIniFile();
    EXPECT_EQ(ini.ReadString("Session01", "Field2", "-"), "Later");
    EXPECT_FALSE(ini.ValueExists("Session01", "Field02"));
}

// A configuration file that cannot be written (a full disk, here a file-size
// limit) is logged; the program still starts and serves.
TEST_F(ZelApplicationTest, AnUpgradeThatCannotWriteIsLoggedAndStartUpGoesOn) {
    WriteConfig("[Settings]\r\nServerPort=" + std::to_string(FreeLoopbackPort()) +
                "\r\nServer IP Address=127.0.0.1\r\n[Session01]\r\nField1=ItemNo\r\n");
    const auto child = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<std::string> log;
        TZelApplication app(nullptr, m_prefs.get());
        try {
            app.Create([&log](const std::string& text) { log.push_back(text); });
        } catch (const std::exception& e) {
            std::fprintf(stderr, "raised: %s", e.what());
            _exit(1);
        }
        app.EnableServer();
        const std::string expected = "Failed upgrading .ini file [" + m_ini +
                                     "]: Exception: TIniFile: cannot write file [" + m_ini + "]: ";
        const bool logged = std::any_of(log.begin(), log.end(),
                                        [&](const std::string& line) { return line.starts_with(expected); });
        _exit(logged && app.Server()->IsEnabled() ? 0 : 2);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// What the server logs as it goes at exit (the replies of the last
// statements, the handhelds it closes) reaches the log.
TEST_F(ZelApplicationTest, TheServersLastLinesAtExitAreLogged) {
    const int port = FreeLoopbackPort();
    WriteConfig("[Settings]\r\nServerPort=" + std::to_string(port) + "\r\nServer IP Address=127.0.0.1\r\n");
    std::vector<std::string> log;
    TTestHandheld handheld;
    {
        TZelApplication app(nullptr, m_prefs.get());
        app.Create([&log](const std::string& text) { log.push_back(text); });
        app.EnableServer();
        ASSERT_TRUE(RunPumping([&] { ASSERT_TRUE(handheld.Connect(port)); }));
        ASSERT_TRUE(PumpUntil([&] { return app.Server()->Clients.size() == 1; }));
    }
    EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                            [](const std::string& line) { return line.starts_with("Disconnect from"); }));
}

TEST_F(ZelApplicationTest, StartsListensRestartsAndWritesSettingsAtExit) {
    const int port = FreeLoopbackPort();
    WriteConfig("[Settings]\r\nServerPort=" + std::to_string(port) + "\r\nServer IP Address=127.0.0.1\r\n");
    std::vector<std::string> log;
    TZelApplication app(nullptr, m_prefs.get());
    app.Create([&log](const std::string& text) { log.push_back(text); });
    ASSERT_NE(app.Server(), nullptr);
    EXPECT_FALSE(app.Server()->IsEnabled());

    app.EnableServer();
    ASSERT_TRUE(app.Server()->IsEnabled());
    EXPECT_EQ(app.StatusText(), "Server enabled on 127.0.0.1:" + std::to_string(port));
    EXPECT_NE(std::find(log.begin(), log.end(), app.StatusText()), log.end());

    TTestHandheld handheld;
    ASSERT_TRUE(RunPumping([&] { ASSERT_TRUE(handheld.Connect(port)); }));
    ASSERT_TRUE(PumpUntil([&] { return app.Server()->Clients.size() == 1; }));
    // A restart drops every handheld; the server keeps listening.
    app.restartServer();
    EXPECT_TRUE(app.Server()->Clients.empty());
    EXPECT_TRUE(app.Server()->IsEnabled());
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
    EXPECT_TRUE(closed);

    // An ended connection is freed by the clean-up, not before.
    TTestHandheld second;
    ASSERT_TRUE(RunPumping([&] { ASSERT_TRUE(second.Connect(port)); }));
    ASSERT_TRUE(PumpUntil([&] { return app.Server()->Clients.size() == 1; }));
    second.Close();
    ASSERT_TRUE(PumpUntil([&] { return app.Server()->Clients[0]->State == csClosed; }));
    app.CleanupClosedClients();
    EXPECT_TRUE(app.Server()->Clients.empty());

    TIniFile(m_ini).DeleteKey("Settings", "DisabledMessage");
    app.Terminate();
    EXPECT_EQ(TIniFile(m_ini).ReadString("Settings", "DisabledMessage", ""),
              "Wireless server is not currently enabled.");
}

TEST(SingleInstance, OneHolderPerName) {
    const std::string name = ";tmp;zel-single-instance-test;" + std::to_string(::getpid());
    TSingleInstance first(name);
    ASSERT_TRUE(first.Acquire());
    TSingleInstance second(name);
    EXPECT_FALSE(second.Acquire());
    TSingleInstance other(name + "-elsewhere");
    EXPECT_TRUE(other.Acquire());
}

} // namespace
