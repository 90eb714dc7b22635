// The operator's side of device access on a real window and server, with
// handhelds on loopback sockets outside the trusted networks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTreeWidget>

#include "MainWindowFixture.h"
#include "app/ZelApplication.h"
#include "base/DeviceRegistry.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"
#include "support/TestHandheld.h"
#include "ui/DeviceActions.h"
#include "ui/frm_ClientList.h"
#include "ui/frm_Devices.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

const char* const kWaitingText = "Session not selected: this device is waiting for approval on the server";

class DevicesViewTest : public MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        OdbcTestEnv& env = OdbcTestEnv::Get();
        env.Prepare(TestDriver::SQLite);
        env.ExecSql(TestDriver::SQLite, {"DROP TABLE IF EXISTS Stock",
                                         "CREATE TABLE Stock (ItemNo VARCHAR(20) PRIMARY KEY, Qty INTEGER)"});
        // 127.0.0.1 is not trusted here: every new handheld waits.
        AppendToConfig("[Session01]\r\nSessionName=Stock count\r\nEnabled=1\r\nDSN=" +
                       OdbcTestEnv::DsnName(TestDriver::SQLite) +
                       "\r\nTablename=Stock\r\nKeyFieldName=ItemNo\r\nField01=ItemNo\r\nField02=Qty\r\n"
                       "[Access]\r\nNewDevices=approve\r\nTrustedNetworks=10.255.255.0/24\r\n");
        ShowWindow();
        EnableServer();
        m_savedAsk = TDeviceActions::AskSessions;
    }

    void TearDown() override {
        TDeviceActions::AskSessions = m_savedAsk;
        m_handhelds.clear();
        MainWindowFixture::TearDown();
    }

    TTestHandheld& Handheld(const std::string& serial) {
        m_handhelds.push_back(std::make_unique<TTestHandheld>());
        Connect(*m_handhelds.back(), serial);
        return *m_handhelds.back();
    }

    THandheldFrame SelectSession(TTestHandheld& handheld) {
        THandheldFrame reply;
        EXPECT_TRUE(RunPumping([&] { reply = handheld.SelectSession(1, "stock"); }));
        return reply;
    }

    std::shared_ptr<TDeviceRegistry> Registry() {
        return Window->Application().Call([](TZelApplication& zel) { return zel.Devices(); });
    }

    TfrmDevices* ShowDevices() {
        Trigger("actDevices");
        EXPECT_EQ(Window->CurrentView(), TfrmMainContainer::vwDevices);
        return qobject_cast<TfrmDevices*>(Window->CurrentViewWindow());
    }

    static std::vector<std::string> Column(TfrmDevices* view, int column, bool shownOnly = true) {
        std::vector<std::string> texts;
        QTreeWidget* list = view->DeviceList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (!shownOnly || !list->topLevelItem(i)->isHidden())
                texts.push_back(list->topLevelItem(i)->text(column).toStdString());
        return texts;
    }

    void Click(QWidget* view, const char* name) {
        auto* button = view->findChild<QPushButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        ASSERT_TRUE(button->isEnabled()) << name;
        button->click();
    }

    // Clicks and waits for the view's worker to take the decision and read the list again.
    void Decide(TfrmDevices* view, const char* name) {
        Click(view, name);
        ASSERT_TRUE(PumpUntil([&] { return !view->Busy(); }));
    }

    bool LogHas(const QString& text) {
        TfrmClientList* monitor = Window->ClientList();
        return monitor && monitor->findChild<QPlainTextEdit*>(QStringLiteral("mmoLogMessages"))
                              ->toPlainText()
                              .contains(text);
    }

    std::vector<std::unique_ptr<TTestHandheld>> m_handhelds;
    std::function<std::optional<QString>(QWidget*, const QString&)> m_savedAsk;
};

TEST_F(DevicesViewTest, WaitingDeviceIsShownAndAllowLetsItsNextSessionThrough) {
    TTestHandheld& handheld = Handheld("SN-1");
    auto* list = Window->ClientList()->findChild<QTreeWidget*>(QStringLiteral("lstClientList"));
    ASSERT_TRUE(PumpUntil([&] {
        return list->topLevelItemCount() == 1 &&
               list->topLevelItem(0)->toolTip(0) == QStringLiteral("Waiting for approval");
    }));
    ASSERT_TRUE(PumpUntil([&] { return LogHas(QStringLiteral("waiting for approval")); }));
    // No tray in this test: the status bar says it; the tray's tip says it too.
    EXPECT_TRUE(Window->StatusPanelText(1).endsWith(QStringLiteral("1 device waiting for approval")))
        << Window->StatusPanelText(1).toStdString();
    EXPECT_EQ(Window->TrayIcon()->toolTip(), QStringLiteral("1 device waiting for approval"));
    EXPECT_TRUE(Boxes.empty());
    // The tray keeps flashing while the device waits, not only once.
    using Image = TfrmMainContainer::TrayImage;
    ASSERT_TRUE(PumpUntil([&] { return Window->CurrentTrayImage() == Image::TrayEnabled1; }));
    ASSERT_TRUE(PumpUntil([&] { return Window->CurrentTrayImage() == Image::TrayEnabled2; }, 3000));

    THandheldFrame reply = SelectSession(handheld);
    ASSERT_EQ(reply.Text(0, 1), "N");
    EXPECT_EQ(reply.Text(1, 200), kWaitingText);

    TfrmDevices* view = ShowDevices();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(
        PumpUntil([&] { return Column(view, TfrmDevices::colSerial) == std::vector<std::string>{"SN-1"}; }));
    EXPECT_EQ(Column(view, TfrmDevices::colState), std::vector<std::string>{"waiting"});
    EXPECT_EQ(Column(view, TfrmDevices::colAddress), std::vector<std::string>{"127.0.0.1"});
    ASSERT_TRUE(view->SelectDevice("SN-1"));
    Decide(view, "btnAllow");
    EXPECT_EQ(Registry()->StateOf("SN-1"), TDeviceState::Allowed);
    EXPECT_EQ(Column(view, TfrmDevices::colState), std::vector<std::string>{"allowed read-write"});
    EXPECT_NE(Column(view, TfrmDevices::colDecision).front().find("by operator window"), std::string::npos);

    reply = SelectSession(handheld);
    EXPECT_EQ(reply.Text(0, 1), "Y") << reply.Text(1, 200);
    // Nothing waits any more: the tip and the status bar say so.
    // (The tip follows the latest snapshot at once, the status bar with the change's own handler.)
    ASSERT_TRUE(PumpUntil([&] {
        return Window->TrayIcon()->toolTip() != QStringLiteral("1 device waiting for approval") &&
               !Window->StatusPanelText(1).contains(QStringLiteral("waiting"));
    }));
    ASSERT_TRUE(PumpUntil([&] { return Window->CurrentTrayImage() == Image::TrayEnabled1; }));
    PumpFor(2000);
    EXPECT_EQ(Window->CurrentTrayImage(), Image::TrayEnabled1);
}

TEST_F(DevicesViewTest, RefuseFromTheMonitorsMenuDisconnectsTheHandheld) {
    TTestHandheld& handheld = Handheld("SN-1");
    auto* list = Window->ClientList()->findChild<QTreeWidget*>(QStringLiteral("lstClientList"));
    ASSERT_TRUE(PumpUntil([&] { return list->topLevelItemCount() == 1; }));
    list->topLevelItem(0)->setSelected(true);
    Trigger("mniDeviceRefuse");
    ASSERT_TRUE(PumpUntil([&] { return Registry()->StateOf("SN-1") == TDeviceState::Refused; }));
    ASSERT_TRUE(PumpUntil([&] { return LogHas(QStringLiteral("Device [SN-1]")); }));
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] {
        // Refused while connected: the connection ends, at the latest at the next request.
        handheld.SelectSession(1, "stock");
        closed = handheld.WaitClosed();
    }));
    EXPECT_TRUE(closed);
    ASSERT_TRUE(PumpUntil([&] { return Window->Application().Snapshot().Clients.empty(); }));
}

TEST_F(DevicesViewTest, AllowFromTheMonitorsMenuClearsTheWaitingMark) {
    TTestHandheld& handheld = Handheld("SN-1");
    auto* list = Window->ClientList()->findChild<QTreeWidget*>(QStringLiteral("lstClientList"));
    ASSERT_TRUE(PumpUntil([&] {
        return list->topLevelItemCount() == 1 &&
               list->topLevelItem(0)->toolTip(0) == QStringLiteral("Waiting for approval");
    }));
    list->topLevelItem(0)->setSelected(true);
    Trigger("mniDeviceAllowReadOnly");
    ASSERT_TRUE(PumpUntil([&] { return Registry()->StateOf("SN-1") == TDeviceState::Allowed; }));
    std::optional<TDeviceRecord> record = Registry()->Find("SN-1");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->State, TDeviceState::Allowed);
    EXPECT_TRUE(record->ReadOnly);
    ASSERT_TRUE(PumpUntil([&] { return list->topLevelItem(0)->toolTip(0).isEmpty(); }));
    EXPECT_EQ(SelectSession(handheld).Text(0, 1), "Y");
}

TEST_F(DevicesViewTest, DecisionsWaitForTheRegistryLockOnTheViewsWorkerNotTheWindow) {
    Handheld("SN-1");
    TfrmDevices* view = ShowDevices();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Column(view, TfrmDevices::colSerial).size() == 1; }));
    ASSERT_TRUE(view->SelectDevice("SN-1"));

    // The command line holds the registry's lock file meanwhile. Were the
    // write made on this thread, the click would never return.
    const std::filesystem::path file(Registry()->FileName());
    const int lock = ::open((file.parent_path() / ("." + file.filename().string() + ".lock")).c_str(),
                            O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    Click(view, "btnAllow");
    PumpFor(300);
    EXPECT_TRUE(view->Busy());
    EXPECT_EQ(Registry()->StateOf("SN-1"), TDeviceState::Waiting);
    // The view keeps answering the operator.
    view->findChild<QLineEdit*>(QStringLiteral("edtFilter"))->setText(QStringLiteral("no such device"));
    EXPECT_TRUE(Column(view, TfrmDevices::colSerial).empty());
    view->findChild<QLineEdit*>(QStringLiteral("edtFilter"))->clear();
    ::close(lock);
    ASSERT_TRUE(PumpUntil([&] { return !view->Busy(); }));
    EXPECT_EQ(Registry()->StateOf("SN-1"), TDeviceState::Allowed);
    EXPECT_EQ(Column(view, TfrmDevices::colState), std::vector<std::string>{"allowed read-write"});
}

TEST_F(DevicesViewTest, TheCommandLinesDecisionsShowWithoutAnyHandheldConnected) {
    Handheld("SN-1");
    ASSERT_TRUE(PumpUntil(
        [&] { return Window->TrayIcon()->toolTip() == QStringLiteral("1 device waiting for approval"); }));
    m_handhelds.clear();
    ASSERT_TRUE(PumpUntil([&] { return Window->Application().Snapshot().Clients.empty(); }));
    TfrmDevices* view = ShowDevices();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(PumpUntil(
        [&] { return Column(view, TfrmDevices::colState) == std::vector<std::string>{"waiting"}; }));

    // Another process's registry, as the command line has it.
    Registry()->Flush();
    TDeviceRegistry(Registry()->FileName()).Allow("SN-1", true, {2}, TDecisionSource::CommandLine);
    ASSERT_TRUE(PumpUntil([&] {
        return Column(view, TfrmDevices::colState) ==
               std::vector<std::string>{"allowed read-only, sessions 2"};
    }));
    EXPECT_NE(Column(view, TfrmDevices::colDecision).front().find("by command line"), std::string::npos);
    // The tip and the status bar follow with the server's next look at the registry (once a second).
    EXPECT_TRUE(PumpUntil([&] {
        return Window->TrayIcon()->toolTip() != QStringLiteral("1 device waiting for approval") &&
               !Window->StatusPanelText(1).contains(QStringLiteral("waiting"));
    }));
}

TEST_F(DevicesViewTest, FilterSessionsAndForget) {
    Handheld("SN-A");
    Handheld("SN-B");
    TfrmDevices* view = ShowDevices();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Column(view, TfrmDevices::colSerial).size() == 2; }));

    auto* filter = view->findChild<QLineEdit*>(QStringLiteral("edtFilter"));
    filter->setText(QStringLiteral("sn-b"));
    EXPECT_EQ(Column(view, TfrmDevices::colSerial), std::vector<std::string>{"SN-B"});
    filter->setText(QStringLiteral("no such device"));
    EXPECT_TRUE(Column(view, TfrmDevices::colSerial).empty());
    filter->clear();
    EXPECT_EQ(Column(view, TfrmDevices::colSerial).size(), 2u);

    // Sessions...: a bad list is refused with its reason and changes nothing.
    ASSERT_TRUE(view->SelectDevice("SN-A"));
    TDeviceActions::AskSessions = [](QWidget*, const QString&) { return QStringLiteral("1,x"); };
    Answers.push_back(QMessageBox::Ok);
    Decide(view, "btnSessions");
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].text.startsWith(QStringLiteral("Invalid session list [1,x]")));
    EXPECT_EQ(Registry()->StateOf("SN-A"), TDeviceState::Waiting);
    TDeviceActions::AskSessions = [](QWidget*, const QString&) { return QStringLiteral("3, 1"); };
    Decide(view, "btnSessions");
    std::optional<TDeviceRecord> record = Registry()->Find("SN-A");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->State, TDeviceState::Allowed);
    EXPECT_EQ(record->Sessions, (std::vector<int>{1, 3}));
    ASSERT_TRUE(view->SelectDevice("SN-A"));
    Decide(view, "btnAllowReadOnly");
    record = Registry()->Find("SN-A");
    EXPECT_TRUE(record->ReadOnly);
    EXPECT_EQ(record->Sessions, (std::vector<int>{1, 3})); // read-only keeps the session limit

    // Forget asks first; No keeps the device.
    ASSERT_TRUE(view->SelectDevice("SN-B"));
    Answers.push_back(QMessageBox::No);
    Decide(view, "btnForget");
    EXPECT_TRUE(Registry()->Find("SN-B"));
    Answers.push_back(QMessageBox::Yes);
    Decide(view, "btnForget");
    EXPECT_FALSE(Registry()->Find("SN-B"));
    EXPECT_EQ(Column(view, TfrmDevices::colSerial), std::vector<std::string>{"SN-A"});
}

TEST_F(DevicesViewTest, AcceptNewDevicesWindowLetsNewHandheldsIn) {
    TfrmDevices* view = ShowDevices();
    ASSERT_NE(view, nullptr);
    view->findChild<QSpinBox*>(QStringLiteral("spnAcceptMinutes"))->setValue(5);
    Decide(view, "btnAcceptNew");
    const QDateTime until = Registry()->AcceptNewUntil();
    const qint64 seconds = QDateTime::currentDateTimeUtc().secsTo(until);
    EXPECT_GT(seconds, 4 * 60);
    EXPECT_LE(seconds, 5 * 60);
    EXPECT_TRUE(view->findChild<QLabel*>(QStringLiteral("lblAcceptNew"))
                    ->text()
                    .startsWith(QStringLiteral("New devices are accepted until")));

    TTestHandheld& handheld = Handheld("SN-NEW");
    EXPECT_EQ(SelectSession(handheld).Text(0, 1), "Y");

    Decide(view, "btnStopAccepting");
    EXPECT_FALSE(Registry()->AcceptingNew(QDateTime::currentDateTimeUtc()));
    TTestHandheld& late = Handheld("SN-LATE");
    EXPECT_EQ(SelectSession(late).Text(1, 200), kWaitingText);
}

} // namespace
