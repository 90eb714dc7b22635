#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ServerControl.h"
#include "base/AppPaths.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/TestHandheld.h"
#include "ui/MessageBox.h"
#include "ui/frm_ClientList.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

// Stands in for the main window: routes the server's snapshots and the log
// lines to the monitor as the main window does, unless Route is cleared.
struct TMonitorOwner {
    bool Route = true;
};

class ClientMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = FreeLoopbackPort();
        const std::string ini = m_dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString();
        WriteFile(ini, "[Settings]\r\nServerPort=" + std::to_string(m_port) +
                           "\r\nServer IP Address=127.0.0.1\r\n"
                           "[Session01]\r\nSessionName=Stock count\r\nEnabled=1\r\nDSN=" +
                           OdbcTestEnv::DsnName(TestDriver::SQLite) +
                           "\r\nTablename=Stock\r\nKeyFieldName=ItemNo\r\nField01=ItemNo\r\nField02=Qty\r\n");
        m_prefs = std::make_unique<TZel_WirelessPrefsMgr>(MakeAppPaths("/nonexistent/ZelWireless", ini));
        m_previousPrefs = g_PrefsMgr;
        g_PrefsMgr = m_prefs.get();
        m_app = std::make_unique<TServerControl>(m_prefs.get());
        // Lines come from the server's thread: the pane is filled on this one.
        m_app->Create([this](const std::string& text) {
            QMetaObject::invokeMethod(
                &m_logRelay,
                [this, line = QString::fromStdString(text)] {
                    if (monitor)
                        monitor->AppendLogText(line);
                },
                Qt::QueuedConnection);
        });
        m_app->OnStatusChange = [this] {
            if (monitor)
                monitor->ServerStatusChanged();
        };
        m_app->OnClientAddDrop = [this] {
            if (monitor && m_owner.Route)
                monitor->DoWirelessClientAddDrop();
        };
        m_app->OnChange = [this] {
            if (monitor && m_owner.Route)
                monitor->WirelessChange();
        };
        m_app->EnableServer();
        ASSERT_TRUE(m_app->IsEnabled());
        TMessageBox::SetAnswerer([this](const TMessageBox::Request& request) {
            m_boxes.push_back(request.text.toStdString());
            return QMessageBox::Ok;
        });
    }

    void TearDown() override {
        monitor.reset();
        m_handhelds.clear();
        m_app.reset();
        g_PrefsMgr = m_previousPrefs;
        TMessageBox::SetAnswerer({});
        SetVerbose(false);
    }

    static void WriteFile(const std::string& name, const std::string& text) {
        QFile file(QString::fromStdString(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.data(), static_cast<qint64>(text.size()));
    }

    void OpenMonitor() {
        monitor = std::make_unique<TfrmClientList>(*m_app);
        connect(monitor.get());
        monitor->show();
    }

    void connect(TfrmClientList* view) {
        QObject::connect(view, &TfrmClientList::clientCountChanged,
                         [this](const QString& text) { panelTexts.push_back(text.toStdString()); });
    }

    // Runs f with the server on its own thread.
    template <typename F> auto OnServer(F f) {
        return m_app->Call([&](TZelApplication& zel) { return f(*zel.Server()); });
    }

    // A handheld that has connected and, with a user name, greeted and logged in.
    TTestHandheld& Handheld(const std::string& user = {}, const std::string& serial = {}) {
        m_handhelds.push_back(std::make_unique<TTestHandheld>());
        TTestHandheld& handheld = *m_handhelds.back();
        EXPECT_TRUE(RunPumping([&] {
            EXPECT_TRUE(handheld.Connect(m_port));
            if (!user.empty()) {
                handheld.Hello();
                EXPECT_EQ(handheld.Login(user, serial).Type, "PCLOGIN");
            }
        }));
        return handheld;
    }

    QTreeWidget* List() { return monitor->findChild<QTreeWidget*>(QStringLiteral("lstClientList")); }
    QString Label(const char* name) { return monitor->findChild<QLabel*>(QString::fromLatin1(name))->text(); }
    QAction* Action(const char* name) { return monitor->findChild<QAction*>(QString::fromLatin1(name)); }

    std::vector<std::string> Column(int column) {
        std::vector<std::string> texts;
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            texts.push_back(List()->topLevelItem(i)->text(column).toStdString());
        return texts;
    }

    bool RowsAre(const std::vector<std::string>& users) {
        PumpFor(1);
        return Column(0) == users;
    }

    void Select(const std::vector<int>& rows) {
        List()->clearSelection();
        for (int row : rows)
            List()->topLevelItem(row)->setSelected(true);
    }

    QTemporaryDir m_dir;
    int m_port = 0;
    std::unique_ptr<TZel_WirelessPrefsMgr> m_prefs;
    TZel_WirelessPrefsMgr* m_previousPrefs = nullptr;
    TMonitorOwner m_owner;
    std::unique_ptr<TServerControl> m_app;
    QObject m_logRelay;
    std::vector<std::unique_ptr<TTestHandheld>> m_handhelds;
    std::unique_ptr<TfrmClientList> monitor;
    std::vector<std::string> panelTexts;
    std::vector<std::string> m_boxes;
};

const char* const kClientLabels[] = {
    "lblClientTitle",   "lblName",     "lblDescription",     "lblUsername",
    "lblSerialNumber",  "lblModel",    "lblOperatingSystem", "lblSoftware",
    "lblSWVersion",     "lblMessages", "lblBytes",           "lblConnectTime",
    "lblLastMessage",   "lblSession",  "lblPlugin",          "lblDatabase",
    "lblDatabaseTable",
};

TEST_F(ClientMonitorTest, EmptyListShowsNoClient) {
    OpenMonitor();
    EXPECT_EQ(List()->topLevelItemCount(), 0);
    ASSERT_FALSE(panelTexts.empty());
    EXPECT_EQ(panelTexts.back(), "Connected clients: 0");
    EXPECT_FALSE(Action("mniServerDisconnectOne")->isEnabled());
    EXPECT_FALSE(Action("mniServerDisconnectAll")->isEnabled());
    for (const char* name : kClientLabels)
        EXPECT_EQ(Label(name), QStringLiteral("--")) << name;
    EXPECT_EQ(monitor->findChild<QWidget*>(QStringLiteral("pnlDetailAreaTop"))->backgroundRole(),
              QPalette::Button);

    // The server page is filled from the server.
    EXPECT_EQ(Label("lblServerName"), QStringLiteral("Zel Wireless Server"));
    EXPECT_EQ(Label("lblServerPort"), QString::number(m_port));
    EXPECT_EQ(Label("lblServerConfigFile"), m_dir.filePath(QStringLiteral("ZelWireless.ini")));
    EXPECT_EQ(Label("lblServerTotalClients"), QStringLiteral("0"));
    EXPECT_EQ(Label("lblServerTotalBytes"), QStringLiteral("0o/0i"));

    // Nothing selected: the operator is told, and nothing else happens.
    Action("actDisconnectOneClient")->trigger();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"No Client Selected."});
}

TEST_F(ClientMonitorTest, ListFollowsConnectsSortedByUserName) {
    OpenMonitor();
    // A handheld that has not spoken yet is listed as soon as it connects.
    Handheld();
    ASSERT_TRUE(PumpUntil([&] { return List()->topLevelItemCount() == 1; }));
    EXPECT_EQ(Column(2), std::vector<std::string>{"n/a"});
    EXPECT_EQ(Column(5), std::vector<std::string>{"   --   "});
    // The first handheld in an empty list is selected and shown.
    EXPECT_TRUE(List()->topLevelItem(0)->isSelected());
    EXPECT_EQ(Label("lblName"), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(Label("lblLastMessage"), QStringLiteral("--"));
    EXPECT_EQ(Label("lblClientTitle"), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(monitor->findChild<QWidget*>(QStringLiteral("pnlDetailAreaTop"))->backgroundRole(),
              QPalette::Base);

    Handheld("zed", "SN-Z");
    Handheld("alice", "SN-A");
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"", "alice", "zed"}); }));
    EXPECT_EQ(panelTexts.back(), "Connected clients: 3");
    EXPECT_EQ(Column(1), (std::vector<std::string>{"127.0.0.1", "127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(Column(3), (std::vector<std::string>{"0", "2", "2"}));
    EXPECT_EQ(Column(2), (std::vector<std::string>{"n/a", "n/a", "n/a"}));

    // One logged-in handheld selected: its details; its session is not open.
    Select({1});
    EXPECT_EQ(Label("lblClientTitle"), QStringLiteral("alice@127.0.0.1"));
    EXPECT_EQ(Label("lblUsername"), QStringLiteral("alice"));
    EXPECT_EQ(Label("lblSerialNumber"), QStringLiteral("SN-A"));
    EXPECT_EQ(Label("lblMessages"), QStringLiteral("2o/2i"));
    EXPECT_EQ(Label("lblDescription"), QStringLiteral("--"));
    for (const char* name : {"lblSession", "lblPlugin", "lblDatabase", "lblDatabaseTable"})
        EXPECT_EQ(Label(name), QStringLiteral("--")) << name;
    EXPECT_TRUE(Action("mniServerDisconnectOne")->isEnabled());

    // Two selected: no client shown.
    Select({1, 2});
    for (const char* name : kClientLabels)
        EXPECT_EQ(Label(name), QStringLiteral("--")) << name;
    EXPECT_EQ(monitor->findChild<QWidget*>(QStringLiteral("pnlDetailAreaBottom"))->backgroundRole(),
              QPalette::Button);
}

TEST_F(ClientMonitorTest, ClosedAndDisconnectedClientsLeaveTheListAndTheServer) {
    OpenMonitor();
    TTestHandheld& anna = Handheld("anna", "SN-1");
    Handheld("bert", "SN-2");
    TTestHandheld& carl = Handheld("carl", "SN-3");
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"anna", "bert", "carl"}); }));

    // The handheld says goodbye: its row goes and the server frees the client.
    ASSERT_TRUE(RunPumping([&] { carl.SendFrame("PDABYE", ""); }));
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"anna", "bert"}); }));
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Clients.size(); }), 2u);

    // The operator disconnects the selected one.
    Select({0});
    Action("mniServerDisconnectOne")->trigger();
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] { closed = anna.WaitClosed(); }));
    EXPECT_TRUE(closed);
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"bert"}); }));
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Clients.size(); }), 1u);
    EXPECT_TRUE(m_boxes.empty());
    ASSERT_TRUE(PumpUntil([&] { return panelTexts.back() == "Connected clients: 1"; }));
}

// A handheld with an open session shows it in its row and on the client page.
TEST_F(ClientMonitorTest, OpenSessionIsShown) {
    OdbcTestEnv& env = OdbcTestEnv::Get();
    env.Prepare(TestDriver::SQLite);
    env.ExecSql(TestDriver::SQLite, {"DROP TABLE IF EXISTS Stock",
                                     "CREATE TABLE Stock (ItemNo VARCHAR(20) PRIMARY KEY, Qty INTEGER)"});
    OpenMonitor();
    TTestHandheld& handheld = Handheld("anna", "SN-1");
    THandheldFrame reply;
    ASSERT_TRUE(RunPumping([&] { reply = handheld.SelectSession(1, "stock"); }));
    ASSERT_EQ(reply.Text(0, 1), "Y") << reply.Text(1, 200);
    ASSERT_TRUE(PumpUntil([&] { return Column(2) == std::vector<std::string>{"#1: stock"}; }));
    Select({0});
    EXPECT_EQ(Label("lblSession"), QStringLiteral("#1: stock"));
    EXPECT_EQ(Label("lblPlugin"), QStringLiteral("plug ver. 2.0"));
    EXPECT_EQ(Label("lblDatabase"), QString::fromStdString(OdbcTestEnv::DsnName(TestDriver::SQLite)));
    EXPECT_EQ(Label("lblDatabaseTable"), QStringLiteral("Stock"));
    EXPECT_EQ(Column(3), std::vector<std::string>{"3"});
    EXPECT_NE(Label("lblLastMessage"), QStringLiteral("--"));
}

// The server frees the old client of a device that logs in again; a row that
// still names it must not reach freed memory, and goes at the next rebuild.
TEST_F(ClientMonitorTest, RelogInOfTheSameDeviceLeavesNoRowOfTheFreedClient) {
    OpenMonitor();
    Handheld("anna", "SN-1");
    Handheld("bert", "SN-2");
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"anna", "bert"}); }));
    const uint64_t oldId = OnServer([&](TZelWirelessServer& s) { return s.Clients[0]->Id; });

    // The monitor hears nothing while the device logs in again.
    m_owner.Route = false;
    Handheld("anna2", "SN-1");
    ASSERT_TRUE(PumpUntil(
        [&] { return OnServer([&](TZelWirelessServer& s) { return s.FindClient(oldId); }) == nullptr; }));
    ASSERT_TRUE(PumpUntil([&] { return m_app->Snapshot().FindClient(oldId) == nullptr; }));
    ASSERT_EQ(Column(0), (std::vector<std::string>{"anna", "bert"})) << "the row is stale now";

    // Showing and disconnecting the stale row only reports it.
    Select({0});
    for (const char* name : kClientLabels)
        EXPECT_EQ(Label(name), QStringLiteral("--")) << name;
    Action("mniServerDisconnectOne")->trigger();
    EXPECT_EQ(m_boxes, std::vector<std::string>{
                           "Error disconnecting client: Exception: Invalid client selected, no data"});

    m_owner.Route = true;
    monitor->WirelessChange();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"anna2", "bert"}); }));
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Clients.size(); }), 2u);
}

// Re-enabling the server frees every client; no row survives it.
TEST_F(ClientMonitorTest, ReenablingDropsEveryRow) {
    OpenMonitor();
    Handheld("anna", "SN-1");
    Handheld("bert", "SN-2");
    ASSERT_TRUE(PumpUntil([&] { return RowsAre({"anna", "bert"}); }));
    Select({0, 1});
    m_app->SetEnabled(false);
    m_app->SetEnabled(true);
    EXPECT_EQ(List()->topLevelItemCount(), 0);
    EXPECT_EQ(panelTexts.back(), "Connected clients: 0");
    EXPECT_FALSE(Action("mniServerDisconnectAll")->isEnabled());
}

int ShownLevel(TfrmClientList& monitor) {
    int shown = -1;
    const char* const images[] = {"imgDataOff", "imgDataOn1", "imgDataOn2", "imgDataOn3", "imgDataOn4"};
    for (int level = 0; level < 5; ++level)
        if (!monitor.findChild<QLabel*>(QString::fromLatin1(images[level]))->isHidden()) {
            EXPECT_EQ(shown, -1) << "one image at a time";
            shown = level;
        }
    return shown;
}

// The meter is drawn for the screen the monitor is on (the scaled run has a
// device pixel ratio of 2).
TEST_F(ClientMonitorTest, MeterFollowsTheDevicePixelRatio) {
    OpenMonitor();
    for (const char* name : {"imgDataOff", "imgDataOn4"}) {
        const QPixmap image = monitor->findChild<QLabel*>(QString::fromLatin1(name))->pixmap();
        EXPECT_EQ(image.devicePixelRatio(), monitor->devicePixelRatioF()) << name;
        EXPECT_EQ(image.deviceIndependentSize(), QSizeF(65, 26)) << name;
    }
}

// Each value is labelled by its caption for a screen reader, and the lists have names.
TEST_F(ClientMonitorTest, ValuesAreLabelledByTheirCaptions) {
    OpenMonitor();
    int captions = 0;
    for (QLabel* caption : monitor->findChildren<QLabel*>()) {
        if (!caption->objectName().endsWith(QStringLiteral("Caption")))
            continue;
        ++captions;
        EXPECT_NE(caption->buddy(), nullptr) << caption->objectName().toStdString();
    }
    EXPECT_EQ(captions, 26); // 8 server rows, the client title, 16 client rows, "Status:"
    EXPECT_EQ(monitor->findChild<QLabel*>(QStringLiteral("lblServerName"))->accessibleDescription(),
              QStringLiteral("Name"));
    for (const char* name : {"lstClientList", "mmoLogMessages", "tabPagesControl"})
        EXPECT_FALSE(monitor->findChild<QWidget*>(QString::fromLatin1(name))->accessibleName().isEmpty())
            << name;
}

struct MeterCase {
    const char* name;
    bool enabled;
    std::vector<int> pulseBeforeTick; // ticks (from 1) before which a pulse arrives
    std::vector<int> levels;          // the image shown after each tick
    std::vector<bool> running;        // whether the meter timer runs on after each tick
};

TEST_F(ClientMonitorTest, ActivityMeterSteps) {
    const MeterCase cases[] = {
        {"one pulse from rest", true, {1}, {2, 3, 4, 4, 3, 2, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1, 1, 0}},
        {"a pulse while falling turns it up",
         true,
         {1, 6},
         {2, 3, 4, 4, 3, 4, 4, 3, 2, 1, 1, 1},
         {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
        {"two pulses hold the top one tick longer",
         true,
         {1, 1},
         {2, 3, 4, 4, 4, 3, 2, 1, 1, 1},
         {1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
        {"server disabled", false, {1}, {0, 0}, {1, 0}},
    };
    for (const MeterCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (m_app->IsEnabled() != c.enabled)
            m_app->SetEnabled(c.enabled);
        OpenMonitor();
        auto* timer = monitor->findChild<QTimer*>(QStringLiteral("timerDataLights"));
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->interval(), 90);
        EXPECT_EQ(ShownLevel(*monitor), c.enabled ? 1 : 0) << "at rest";
        EXPECT_FALSE(timer->isActive());
        // No events are served in between: the test takes the timer's place.
        for (size_t tick = 1; tick <= c.levels.size(); ++tick) {
            for (int at : c.pulseBeforeTick)
                if (static_cast<size_t>(at) == tick)
                    monitor->DoWirelessClientAddDrop(); // pulses whatever the server state
            monitor->timerDataLightsTimer();
            EXPECT_EQ(ShownLevel(*monitor), c.levels[tick - 1]) << "tick " << tick;
            EXPECT_EQ(timer->isActive(), c.running[tick - 1]) << "tick " << tick;
        }
        monitor.reset();
    }
}

TEST_F(ClientMonitorTest, LogPaneLinesAreStampedAndBounded) {
    OpenMonitor();
    auto* memo = monitor->findChild<QPlainTextEdit*>(QStringLiteral("mmoLogMessages"));
    memo->clear();
    const int total = TfrmClientList::kMaxLogLines + 250;
    for (int i = 0; i < total; ++i)
        monitor->AppendLogText(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(memo->document()->blockCount(), TfrmClientList::kMaxLogLines);
    const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
    EXPECT_TRUE(lines.front().endsWith(QStringLiteral("  line 250"))) << lines.front().toStdString();
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^\\S{3,}-\\d\\d \\d\\d:\\d\\d:\\d\\d  line %1$").arg(total - 1))
            .match(lines.back())
            .hasMatch())
        << lines.back().toStdString();

    // The server's own log lines arrive through the sink.
    memo->clear();
    Handheld();
    ASSERT_TRUE(
        PumpUntil([&] { return memo->toPlainText().contains(QStringLiteral("  Connect from 127.0.0.1")); }));

    // A disabled pane takes nothing.
    memo->setEnabled(false);
    monitor->AppendLogText(QStringLiteral("ignored"));
    EXPECT_FALSE(memo->toPlainText().contains(QStringLiteral("ignored")));
    memo->setEnabled(true);

    // Delete in the pane disconnects the selected handheld while that is
    // possible, and only then empties the pane.
    auto pressDelete = [&] {
        QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QCoreApplication::sendEvent(memo, &del);
    };
    ASSERT_TRUE(PumpUntil([&] { return List()->selectedItems().size() == 1; }));
    pressDelete();
    EXPECT_FALSE(memo->toPlainText().isEmpty());
    ASSERT_TRUE(PumpUntil([&] { return List()->topLevelItemCount() == 0; }));
    EXPECT_TRUE(OnServer([&](TZelWirelessServer& s) { return s.Clients.empty(); }));
    pressDelete();
    EXPECT_TRUE(memo->toPlainText().isEmpty());
    EXPECT_TRUE(m_boxes.empty());
}

// Hundreds of handhelds post a change after every exchange; the list is
// rebuilt at most once per interval, not once per change.
TEST_F(ClientMonitorTest, RebuildIsThrottledUnderManyClients) {
    OpenMonitor();
    constexpr int kHandhelds = 150;
    std::vector<std::unique_ptr<TTestHandheld>> handhelds(kHandhelds);
    ASSERT_TRUE(RunPumping(
        [&] {
            for (auto& handheld : handhelds) {
                handheld = std::make_unique<TTestHandheld>();
                ASSERT_TRUE(handheld->Connect(m_port));
            }
        },
        60000));
    ASSERT_TRUE(PumpUntil([&] { return List()->topLevelItemCount() == kHandhelds; }, 20000));

    // A burst of change notifications without the loop turning: one rebuild at most.
    PumpFor(TfrmClientList::kRefreshIntervalMs + 50);
    panelTexts.clear();
    for (int i = 0; i < 1000; ++i)
        monitor->WirelessChange();
    EXPECT_LE(panelTexts.size(), 1u);
    PumpFor(TfrmClientList::kRefreshIntervalMs + 100);
    EXPECT_LE(panelTexts.size(), 2u);

    // Real traffic from every handheld: rebuilds follow the clock, not the exchanges.
    panelTexts.clear();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(RunPumping(
        [&] {
            for (auto& handheld : handhelds)
                handheld->Hello();
        },
        60000));
    PumpFor(TfrmClientList::kRefreshIntervalMs + 100);
    const qint64 elapsed = clock.elapsed();
    EXPECT_LE(static_cast<qint64>(panelTexts.size()), elapsed / TfrmClientList::kRefreshIntervalMs + 2);
    EXPECT_EQ(Column(3), std::vector<std::string>(kHandhelds, "1")) << "every row is up to date";
}

TEST_F(ClientMonitorTest, MenuItemsForwardToTheMainWindow) {
    OpenMonitor();
    // "Disconnect &All" is enabled with a row in the list.
    Handheld();
    ASSERT_TRUE(PumpUntil([&] { return List()->topLevelItemCount() == 1; }));
    std::vector<std::string> requests;
    QObject::connect(monitor.get(), &TfrmClientList::showViewRequested,
                     [&](int view) { requests.push_back("view " + std::to_string(view)); });
    QObject::connect(monitor.get(), &TfrmClientList::exitRequested, [&] { requests.push_back("exit"); });
    QObject::connect(monitor.get(), &TfrmClientList::enabledToggleRequested,
                     [&] { requests.push_back("enable"); });
    QObject::connect(monitor.get(), &TfrmClientList::disconnectAllRequested,
                     [&] { requests.push_back("disconnect all"); });
    QObject::connect(monitor.get(), &TfrmClientList::autoStartToggleRequested,
                     [&] { requests.push_back("autostart"); });
    QObject::connect(monitor.get(), &TfrmClientList::websiteRequested,
                     [&] { requests.push_back("website"); });
    QObject::connect(monitor.get(), &TfrmClientList::aboutRequested, [&] { requests.push_back("about"); });
    const std::pair<const char*, const char*> cases[] = {
        {"mniFileAutoStart", "autostart"},
        {"mniFileExit", "exit"},
        {"actExit", "exit"},
        {"mniServerEnabled", "enable"},
        {"actEnableDisableServer", "enable"},
        {"mniServerDisconnectAll", "disconnect all"},
        {"actDisconnectAllClients", "disconnect all"},
        {"mniToolsApplicationSettings", "view 2"},
        {"mniToolsSessionSettings", "view 3"},
        {"mniToolsSessionDatabaseView", "view 4"},
        {"actViewDatabase", "view 4"},
        {"mniHelpWebsite", "website"},
        {"mniHelpAbout", "about"},
    };
    for (const auto& [action, expected] : cases) {
        requests.clear();
        ASSERT_NE(Action(action), nullptr) << action;
        Action(action)->trigger();
        EXPECT_EQ(requests, std::vector<std::string>{expected}) << action;
    }
    // The checks follow the server and the registry, not the click.
    EXPECT_TRUE(Action("mniServerEnabled")->isChecked());
    EXPECT_FALSE(Action("mniFileAutoStart")->isChecked());

    const std::tuple<const char*, const char*, const char*> captions[] = {
        {"mniServerDisconnectOne", "&Disconnect Client", "Del"},
        {"mniServerDisconnectAll", "Disconnect &All", "Shift+Del"},
        {"mniFileExit", "E&xit Zel Wireless", "Ctrl+Q"},
        {"mniServerEnabled", "&Enabled", "Ctrl+E"},
        {"mniViewDetailMonitor", "Detail &Monitor", "Ctrl+M"},
    };
    for (const auto& [action, caption, shortcut] : captions) {
        EXPECT_EQ(Action(action)->text(), QString::fromLatin1(caption));
        EXPECT_EQ(Action(action)->shortcut().toString(), QString::fromLatin1(shortcut));
    }
    EXPECT_EQ(monitor->findChild<QMenu*>(QStringLiteral("mniViewLog"))->menuAction()->shortcut().toString(),
              QStringLiteral("Ctrl+L"));
    EXPECT_EQ(Action("mniServerEnabled")->statusTip(), QStringLiteral("Server Enabled"));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(ClientMonitorTest, ViewTogglesAndVerboseUnderDiagnostics) {
    OpenMonitor();
    auto* log = monitor->findChild<QWidget*>(QStringLiteral("pnlLogMessages"));
    auto* detail = monitor->findChild<QWidget*>(QStringLiteral("pnlDetailMonitor"));
    auto* splitHorizontal = monitor->findChild<QWidget*>(QStringLiteral("splitHorizontal"));
    ASSERT_NE(splitHorizontal, nullptr);
    EXPECT_TRUE(Action("actViewLogWindow")->isChecked());
    Action("actViewLogWindow")->trigger();
    EXPECT_TRUE(log->isHidden());
    EXPECT_TRUE(splitHorizontal->isHidden());
    EXPECT_FALSE(Action("mniViewLog_Show")->isChecked());
    EXPECT_FALSE(Action("actViewLogWindow")->isChecked());
    Action("mniViewLog_Show")->trigger();
    EXPECT_FALSE(log->isHidden());
    EXPECT_FALSE(splitHorizontal->isHidden());
    EXPECT_TRUE(Action("actViewLogWindow")->isChecked());

    Action("mniViewDetailMonitor")->trigger();
    EXPECT_TRUE(detail->isHidden());
    EXPECT_FALSE(Action("actViewDetailMonitor")->isChecked());
    Action("actViewDetailMonitor")->trigger();
    EXPECT_FALSE(detail->isHidden());
    EXPECT_TRUE(Action("mniViewDetailMonitor")->isChecked());
    auto* rewrite = monitor->findChild<QTimer*>(QStringLiteral("timerClientGridUpdate"));
    EXPECT_TRUE(rewrite->isActive()) << "shown again: the rows are rewritten shortly";
    EXPECT_EQ(rewrite->interval(), 350);

    // Without the diagnostics marker the verbose item stays hidden.
    EXPECT_FALSE(Action("mniToolsVerbose")->isVisible());
    monitor.reset();
    m_prefs->Diagnostics = true;
    OpenMonitor();
    EXPECT_TRUE(Action("mniToolsVerbose")->isVisible());
    Action("mniToolsVerbose")->trigger();
    EXPECT_TRUE(GetVerbose());
    EXPECT_TRUE(Action("mniToolsVerbose")->isChecked());
    auto* memo = monitor->findChild<QPlainTextEdit*>(QStringLiteral("mmoLogMessages"));
    EXPECT_TRUE(memo->toPlainText().endsWith(QStringLiteral(": Verbose logging enabled")));
}

// The log is reset once per program start, not by the monitor: opening it
// again (a view switch, a restore from the tray) keeps the day's lines.
TEST_F(ClientMonitorTest, OpeningTheMonitorKeepsTheLogFile) {
    const std::string logFile = m_prefs->LogFilename;
    ASSERT_FALSE(logFile.empty());
    WriteFile(logFile, "before\r\n");
    OpenMonitor();
    EXPECT_EQ(CountText(logFile, "before"), 1);
}

} // namespace
