#include <gtest/gtest.h>

#include <mutex>
#include <tuple>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/ServerControl.h"
#include "base/AppPaths.h"
#include "base/IniFile.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "net/Zel_Socket.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/TempFolder.h"
#include "support/TestHandheld.h"
#include "ui/MessageBox.h"
#include "ui/frm_ApplicationSettings.h"

namespace {

const QString kNetworkMessage =
    QStringLiteral("Changes to network settings will take effect when you restart the server.");

// Receives the file URLs that the view asks the desktop to open.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void open(const QUrl& url) { Opened.push_back(url); }
};

// Another program's listening socket on a free loopback port; its
// descriptor (or -1), the port in port.
int HoldLoopbackPort(int& port) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(holder, 1) != 0) {
        ::close(holder);
        return -1;
    }
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return holder;
}

// A running application (server enabled on a loopback port) with its own
// configuration file, g_PrefsMgr pointing at its preferences, and every
// message box answered by the test.
class ApplicationSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Start(false); }

    // port: what the file says, when not a free port.
    void Start(bool diagnostics, const std::string& extraSettings = std::string(), int port = -1) {
        if (diagnostics)
            WriteAll(m_folder.File("diag.dll"), "");
        m_port = port >= 0 ? port : FreeLoopbackPort();
        m_ini = m_folder.File("ZelWireless.ini");
        WriteAll(m_ini, "[Settings]\nServerPort=" + std::to_string(m_port) +
                            "\nServer IP Address=127.0.0.1\n" + extraSettings);
        m_prefs = std::make_unique<TZel_WirelessPrefsMgr>(MakeAppPaths("/nonexistent/ZelWireless", m_ini));
        m_previousPrefs = g_PrefsMgr;
        g_PrefsMgr = m_prefs.get();
        m_app = std::make_unique<TServerControl>(m_prefs.get());
        m_app->Create([this](const std::string& text) {
            const std::lock_guard lock(m_logLock);
            m_log.push_back(text);
        });
        m_app->EnableServer();
        if (port < 0) {
            ASSERT_TRUE(m_app->IsEnabled());
        }
        TMessageBox::SetAnswerer([this](const TMessageBox::Request& request) {
            m_asked.push_back(request.text);
            m_requests.push_back(request);
            return m_answer;
        });
        m_view = std::make_unique<TfrmApplicationSettings>(*m_app);
        m_view->show();
    }

    void TearDown() override {
        if (m_view)
            m_view->hide(); // no closing question: the test decides about its edits
        m_view.reset();
        m_app.reset();
        TMessageBox::SetAnswerer({});
        g_PrefsMgr = m_previousPrefs;
        SetVerbose(false);
    }

    void Restart(bool diagnostics, const std::string& extraSettings = std::string(), int port = -1) {
        TearDown();
        Start(diagnostics, extraSettings, port);
    }

    template <class T> T* Find(const char* name) {
        T* widget = m_view->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
    QCheckBox* Check(const char* name) { return Find<QCheckBox>(name); }
    QPushButton* Button(const char* name) { return Find<QPushButton>(name); }
    // Runs f with the server on its own thread.
    template <typename F> auto OnServer(F f) {
        return m_app->Call([&](TZelApplication& zel) { return f(*zel.Server()); });
    }
    std::string Setting(const std::string& key) {
        return TIniFile(m_ini).ReadString("Settings", key, "<none>");
    }

    // Whether a handheld gets a connection listed by the server on that port.
    bool HandheldConnects(int port) {
        const size_t before = OnServer([&](TZelWirelessServer& s) { return s.Clients.size(); });
        TTestHandheld handheld;
        bool connected = false;
        EXPECT_TRUE(RunPumping([&] { connected = handheld.Connect(port, 2000); }));
        return connected && PumpUntil([&] {
                   return OnServer([&](TZelWirelessServer& s) { return s.Clients.size(); }) > before;
               });
    }

    TTempFolder m_folder;
    std::string m_ini;
    int m_port = 0;
    std::unique_ptr<TZel_WirelessPrefsMgr> m_prefs;
    TZel_WirelessPrefsMgr* m_previousPrefs = nullptr;
    std::unique_ptr<TServerControl> m_app;
    std::unique_ptr<TfrmApplicationSettings> m_view;
    std::mutex m_logLock; // the server logs on its own thread
    std::vector<std::string> m_log;
    std::vector<QString> m_asked;
    std::vector<TMessageBox::Request> m_requests;
    QMessageBox::StandardButton m_answer = QMessageBox::Ok;
};

TEST_F(ApplicationSettingsTest, LoadsTheRunningValuesAndLeavingUntouchedAsksNothing) {
    EXPECT_EQ(m_view->windowTitle(), QStringLiteral("Application Settings"));
    EXPECT_EQ(Edit("editServerName")->text(), QStringLiteral("Zel Wireless Server"));
    EXPECT_TRUE(Check("chkServerEnabled")->isChecked());
    EXPECT_EQ(Edit("editServerDisabledMessage")->text(),
              QStringLiteral("Wireless server is not currently enabled."));
    EXPECT_EQ(Edit("editIPAddress")->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(Edit("editIPPort")->text(), QString::number(m_port));
    EXPECT_EQ(Edit("editLogfile")->text(), QString::fromStdString(m_prefs->LogFilename));
    EXPECT_EQ(Edit("editConfigFile")->text(), QString::fromStdString(m_ini));
    EXPECT_FALSE(Button("cmdIPAddrDefault")->isEnabled());
    EXPECT_FALSE(Button("cmdApply")->isEnabled());
    EXPECT_FALSE(m_view->Modified());
    EXPECT_FALSE(m_view->NetworkChanged());
    // Without the diagnostics marker the verbose controls stay hidden.
    EXPECT_FALSE(Check("chkVerboseLogging")->isVisible());
    EXPECT_FALSE(Check("chkNetworkEncoding")->isVisible());

    const std::string before = ReadAll(m_ini);
    EXPECT_TRUE(m_view->close());
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(ReadAll(m_ini), before);
}

TEST_F(ApplicationSettingsTest, ApplyCommitsEveryControlAndForcesVerboseOffWithoutDiagnostics) {
    Restart(false, "Verbose=Y\n");
    ASSERT_TRUE(GetVerbose());
    const std::string logFile = m_folder.File("other.log");
    Edit("editServerName")->setText(QStringLiteral("Dock 3"));
    EXPECT_TRUE(Button("cmdApply")->isEnabled());
    Edit("editServerDisabledMessage")->setText(QStringLiteral("Back at noon"));
    Edit("editLogfile")->setText(QString::fromStdString(logFile));
    Check("chkServerEnabled")->setChecked(false);
    EXPECT_FALSE(m_view->NetworkChanged());

    Button("cmdApply")->click();
    EXPECT_TRUE(m_asked.empty()) << "no network change, no question";
    EXPECT_FALSE(Button("cmdApply")->isEnabled());
    EXPECT_FALSE(m_view->Modified());
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ServerName; }), "Dock 3");
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.DisabledMessage; }), "Back at noon");
    EXPECT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));
    EXPECT_TRUE(OnServer([&](TZelWirelessServer& s) { return s.IsListening(); }))
        << "a disabled server keeps listening";
    EXPECT_EQ(m_prefs->LogFilename, logFile);
    EXPECT_FALSE(GetVerbose());
    EXPECT_EQ(Setting("ServerName"), "Dock 3");
    EXPECT_EQ(Setting("DisabledMessage"), "Back at noon");
    EXPECT_EQ(Setting("Logfilename"), logFile);
    EXPECT_EQ(Setting("Verbose"), "N");
    EXPECT_EQ(Setting("ServerPort"), std::to_string(m_port));

    // Enabling again through the view.
    Check("chkServerEnabled")->setChecked(true);
    Button("cmdApply")->click();
    EXPECT_TRUE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));
}

TEST_F(ApplicationSettingsTest, DiagnosticsShowsAndAppliesTheVerboseControls) {
    Restart(true);
    ASSERT_TRUE(m_prefs->Diagnostics);
    EXPECT_TRUE(Check("chkVerboseLogging")->isVisible());
    EXPECT_TRUE(Check("chkNetworkEncoding")->isVisible());
    EXPECT_TRUE(Check("chkNetworkEncoding")->isChecked());

    Check("chkNetworkEncoding")->setChecked(false);
    EXPECT_FALSE(m_view->Modified()) << "the encoding switch marks nothing";
    Check("chkVerboseLogging")->setChecked(true);
    Button("cmdApply")->click();
    EXPECT_TRUE(GetVerbose());
    EXPECT_FALSE(m_prefs->NetworkEncoding);
    EXPECT_EQ(Setting("Verbose"), "Y");
}

TEST_F(ApplicationSettingsTest, ChangedPortMovesTheListeningSocketAtOnce) {
    const int newPort = FreeLoopbackPort();
    ASSERT_NE(newPort, m_port);
    Edit("editIPPort")->setText(QString::number(newPort));
    EXPECT_TRUE(m_view->NetworkChanged());
    Button("cmdApply")->click();

    // Nothing waits for a restart, so nothing says it does.
    EXPECT_TRUE(m_asked.empty()) << m_asked[0].toStdString();
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Port; }), newPort);
    EXPECT_EQ(Setting("ServerPort"), std::to_string(newPort));
    EXPECT_TRUE(HandheldConnects(newPort));
    EXPECT_FALSE(HandheldConnects(m_port)) << "the old port is closed";
    // The operator's log names the new address and port.
    {
        const std::lock_guard lock(m_logLock);
        EXPECT_NE(
            std::find(m_log.begin(), m_log.end(), "Server enabled on 127.0.0.1:" + std::to_string(newPort)),
            m_log.end());
    }
    EXPECT_TRUE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));

    // The change is in effect: a later Apply of another value asks nothing.
    EXPECT_FALSE(m_view->NetworkChanged());
    Edit("editServerName")->setText(QStringLiteral("Renamed"));
    Button("cmdApply")->click();
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ServerName; }), "Renamed");
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Port; }), newPort);
}

// A server that does not listen (another program held its port at start) and
// stays off takes the new port only when it starts: that, and only that, is said.
TEST_F(ApplicationSettingsTest, NewPortOfAServerThatDoesNotListenWaitsForItsStart) {
    int taken = 0;
    const int blocker = HoldLoopbackPort(taken);
    ASSERT_GE(blocker, 0);
    Restart(false, std::string(), taken);
    ASSERT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsListening(); }));
    ASSERT_FALSE(Check("chkServerEnabled")->isChecked());
    const int newPort = FreeLoopbackPort();
    Edit("editIPPort")->setText(QString::number(newPort));
    EXPECT_TRUE(m_view->Apply());

    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(m_requests[0].text, kNetworkMessage);
    EXPECT_EQ(m_requests[0].buttons, QMessageBox::Ok);
    EXPECT_NE(m_requests[0].icon, QMessageBox::Question) << "a notice, not a question";
    EXPECT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsListening(); }));
    EXPECT_EQ(Setting("ServerPort"), std::to_string(newPort));
    // It was true: the server starts on the new port.
    m_app->EnableServer();
    EXPECT_TRUE(HandheldConnects(newPort));

    // Enabling it in the same Apply puts the port into effect: nothing to say.
    Restart(false, std::string(), taken);
    m_asked.clear();
    ASSERT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsListening(); }));
    const int otherPort = FreeLoopbackPort();
    Edit("editIPPort")->setText(QString::number(otherPort));
    Check("chkServerEnabled")->setChecked(true);
    EXPECT_TRUE(m_view->Apply());
    ::close(blocker);
    EXPECT_TRUE(m_asked.empty()) << m_asked[0].toStdString();
    EXPECT_TRUE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));
    EXPECT_TRUE(HandheldConnects(otherPort));
}

TEST_F(ApplicationSettingsTest, ChangedAddressOnTheSamePortListensOnTheNewOne) {
    // Every interface on the port in use: the old socket must give way first.
    Edit("editIPAddress")->setText(QStringLiteral("0.0.0.0"));
    EXPECT_TRUE(m_view->Apply());
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ListenSocket->Address; }), "0.0.0.0");
    EXPECT_EQ(Setting("Server IP Address"), "0.0.0.0");
    EXPECT_TRUE(HandheldConnects(m_port));
}

TEST_F(ApplicationSettingsTest, UntouchedNetworkValuesNeverBlockApply) {
    // A port the server cannot listen on, from the file: another program holds it.
    int taken = 0;
    const int blocker = HoldLoopbackPort(taken);
    ASSERT_GE(blocker, 0);
    Restart(false, std::string(), taken);
    ASSERT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsListening(); }));
    ASSERT_EQ(Edit("editIPPort")->text(), QString::number(taken));
    Edit("editServerName")->setText(QStringLiteral("Renamed"));
    EXPECT_TRUE(m_view->Apply());
    ::close(blocker);
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ServerName; }), "Renamed");
}

// A screen reader names each input by its label; the label's letter takes the
// keyboard there.
TEST_F(ApplicationSettingsTest, EveryInputIsNamedByItsLabelWithAMnemonic) {
    int labelled = 0;
    for (QLabel* label : m_view->findChildren<QLabel*>()) {
        ASSERT_NE(label->buddy(), nullptr) << label->objectName().toStdString();
        EXPECT_TRUE(label->text().contains(QLatin1Char('&'))) << label->objectName().toStdString();
        EXPECT_EQ(label->buddy()->accessibleName(), QString(label->text()).remove(QLatin1Char('&')));
        ++labelled;
    }
    EXPECT_EQ(labelled, 9);
    for (QWidget* input : m_view->findChildren<QWidget*>()) {
        if (qobject_cast<QLineEdit*>(input) || qobject_cast<QAbstractButton*>(input)) {
            EXPECT_FALSE(input->accessibleName().isEmpty() && input->property("text").toString().isEmpty())
                << input->objectName().toStdString();
        }
    }
}

TEST_F(ApplicationSettingsTest, MissingPreferencesAreReportedAndTheViewIsUnusable) {
    m_view.reset();
    g_PrefsMgr = nullptr;
    m_view = std::make_unique<TfrmApplicationSettings>(*m_app);
    m_view->show();
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0],
              QStringLiteral("TfrmApplicationSettings.FormCreate: AppSettings is unexpectedly nil, "
                             "cannot continue"));
    EXPECT_FALSE(m_view->isEnabled());
}

TEST_F(ApplicationSettingsTest, PortDefaultButtonPutsTheDefaultPort) {
    Button("cmdPortDefault")->click();
    EXPECT_EQ(Edit("editIPPort")->text(), QStringLiteral("4402"));
    EXPECT_TRUE(m_view->NetworkChanged());
    EXPECT_TRUE(Button("cmdApply")->isEnabled());
}

TEST_F(ApplicationSettingsTest, WrongNetworkValuesAreRefusedAndNothingIsWritten) {
    struct Case {
        const char* port;
        const char* address;
    };
    const Case cases[] = {{"0", "127.0.0.1"},           {"65536", "127.0.0.1"}, {"abc", "127.0.0.1"},
                          {"44 02", "127.0.0.1"},       {"", "127.0.0.1"},      {"-1", "127.0.0.1"},
                          {"99999999999", "127.0.0.1"}, {"4402", "300.1.1.1"},  {"4402", ""},
                          {"4402", "localhost"}};
    const std::string before = ReadAll(m_ini);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port) + " / " + c.address);
        m_asked.clear();
        Edit("editServerName")->setText(QStringLiteral("Not applied"));
        Edit("editIPPort")->setText(QString::fromLatin1(c.port));
        Edit("editIPAddress")->setText(QString::fromLatin1(c.address));
        EXPECT_FALSE(m_view->Apply());
        ASSERT_EQ(m_asked.size(), 1u) << "one refusal, no network question";
        EXPECT_TRUE(m_asked[0].contains(QStringLiteral("is not valid"))) << m_asked[0].toStdString();
        EXPECT_EQ(ReadAll(m_ini), before);
        EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Port; }), m_port);
        EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.IPAddress; }), "127.0.0.1");
        EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ServerName; }), "Zel Wireless Server");
        EXPECT_TRUE(Button("cmdApply")->isEnabled());
    }
    EXPECT_TRUE(HandheldConnects(m_port));
}

TEST_F(ApplicationSettingsTest, PortThatCannotBeListenedOnKeepsTheOldOne) {
    // Another program holds the wanted port.
    int taken = 0;
    const int blocker = HoldLoopbackPort(taken);
    ASSERT_GE(blocker, 0);

    Edit("editIPPort")->setText(QString::number(taken));
    Edit("editServerName")->setText(QStringLiteral("Still applied"));
    EXPECT_FALSE(m_view->Apply());
    ::close(blocker);

    // Only why it failed: the old port goes on, nothing waits for a restart.
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_TRUE(m_asked[0].startsWith(QStringLiteral("The server cannot listen on 127.0.0.1:%1").arg(taken)))
        << m_asked[0].toStdString();
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.Port; }), m_port);
    EXPECT_EQ(Setting("ServerPort"), std::to_string(m_port));
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ServerName; }), "Still applied");
    EXPECT_TRUE(m_view->Modified()) << "the refused port stays to be corrected";
    EXPECT_TRUE(HandheldConnects(m_port));
}

TEST_F(ApplicationSettingsTest, BrowseTakesTheChosenFileAndCancelKeepsTheBox) {
    const QString chosen = QString::fromStdString(m_folder.File("chosen.txt"));
    TFileDialog::SetNextFileName(chosen);
    Button("Button1")->click();
    EXPECT_EQ(Edit("editLogfile")->text(), chosen);
    EXPECT_TRUE(m_view->Modified());

    TFileDialog::SetNextFileName(QString());
    Button("Button1")->click();
    EXPECT_EQ(Edit("editLogfile")->text(), chosen);
}

TEST_F(ApplicationSettingsTest, ClearLogfileAsksAndResetsOnlyOnYes) {
    const std::string log = m_prefs->LogFilename;
    WriteAll(log, "line\n");
    m_answer = QMessageBox::No;
    Button("cmdClearLogfile")->click();
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(
        m_asked[0],
        QStringLiteral("Are you sure you want to clear the logfile \n%1?").arg(QString::fromStdString(log)));
    EXPECT_EQ(ReadAll(log), "line\n");

    m_answer = QMessageBox::Yes;
    Button("cmdClearLogfile")->click();
    const std::string old = log.substr(0, log.rfind('.')) + "-old.txt";
    EXPECT_EQ(ReadAll(old), "line\n");
}

TEST_F(ApplicationSettingsTest, ViewLogfileOpensTheAppliedFileAndReportsAMissingOne) {
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    Edit("editLogfile")->setText(QStringLiteral("/not/applied.txt"));

    Button("cmdViewLogfile")->click();
    EXPECT_TRUE(catcher.Opened.empty());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_TRUE(m_asked[0].contains(QStringLiteral("does not exist")));

    WriteAll(m_prefs->LogFilename, "x\n");
    Button("cmdViewLogfile")->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(catcher.Opened.size(), 1);
    EXPECT_EQ(catcher.Opened[0].toLocalFile(), QString::fromStdString(m_prefs->LogFilename));
}

TEST_F(ApplicationSettingsTest, ClosingWithChangesAppliesOnYesDiscardsOnNo) {
    Edit("editServerName")->setText(QStringLiteral("Kept"));
    m_answer = QMessageBox::Yes;
    EXPECT_TRUE(m_view->close());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0], QStringLiteral("Do you want to apply your changes?"));
    EXPECT_EQ(m_requests[0].defaultButton, QMessageBox::Yes) << "Enter keeps the edits";
    EXPECT_EQ(Setting("ServerName"), "Kept");

    Restart(false);
    Edit("editServerName")->setText(QStringLiteral("Dropped"));
    m_answer = QMessageBox::No;
    EXPECT_TRUE(m_view->close());
    EXPECT_EQ(OnServer([&](TZelWirelessServer& s) { return s.ServerName; }), "Zel Wireless Server");

    // Yes with a wrong port: the view stays so that the value can be corrected.
    Restart(false);
    Edit("editIPPort")->setText(QStringLiteral("70000"));
    m_answer = QMessageBox::Yes;
    EXPECT_FALSE(m_view->close());
    EXPECT_TRUE(m_view->isVisible());
}

} // namespace

#include "ApplicationSettingsTest.moc"

namespace {

std::string AccessValue(const std::string& ini, const std::string& key) {
    return TIniFile(ini).ReadString("Access", key, "<none>");
}

} // namespace

TEST_F(ApplicationSettingsTest, DeviceAccessIsWrittenOnlyWhenEditedAndTakesEffectAtOnce) {
    // A file without [Access] (an upgrade) keeps it so when other settings are applied.
    EXPECT_EQ(Find<QComboBox>("cboNewDevices")->currentData().toString(), QStringLiteral("allow"));
    EXPECT_EQ(Edit("editTrustedNetworks")->text(), QStringLiteral("127.0.0.0/8"));
    Edit("editServerName")->setText(QStringLiteral("Dock 3"));
    ASSERT_TRUE(m_view->Apply());
    EXPECT_EQ(AccessValue(m_ini, "NewDevices"), "<none>");

    Find<QComboBox>("cboNewDevices")->setCurrentIndex(0);
    Edit("editTrustedNetworks")->setText(QStringLiteral("10.1.0.0/16"));
    Edit("editAllowedNetworks")->setText(QStringLiteral("127.0.0.0/8, 10.1.0.0/16"));
    ASSERT_TRUE(m_view->Apply());
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(AccessValue(m_ini, "NewDevices"), "approve");
    EXPECT_EQ(AccessValue(m_ini, "TrustedNetworks"), "10.1.0.0/16");
    EXPECT_EQ(AccessValue(m_ini, "AllowedNetworks"), "127.0.0.0/8, 10.1.0.0/16");
    const auto [configured, approve, allowsLoopback, allowsOther] = OnServer([](TZelWirelessServer& s) {
        return std::tuple(s.Access.Configured, s.Access.NewDevices == TAccessPolicy::TNewDevices::Approve,
                          s.Access.AllowedNetworks.Contains("127.0.0.1"),
                          s.Access.AllowedNetworks.Contains("10.2.0.1"));
    });
    EXPECT_TRUE(configured);
    EXPECT_TRUE(approve);
    EXPECT_TRUE(allowsLoopback);
    EXPECT_FALSE(allowsOther);
    EXPECT_FALSE(Button("cmdApply")->isEnabled());
}

TEST_F(ApplicationSettingsTest, BadNetworkListsAreRefusedWithTheirReasonAndNothingIsWritten) {
    struct Case {
        const char* trusted;
        const char* allowed;
        const char* says;
    };
    const Case cases[] = {{"10.0.0.0/33", "", "Trusted networks: "},
                          {"10.0.0.0/8 nonsense", "", "Trusted networks: "},
                          {"127.0.0.0/8", "192.168.1.300", "Allowed networks: "},
                          {"127.0.0.0/8", "fe80::/10", "Allowed networks: "}};
    const std::string before = ReadAll(m_ini);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.trusted) + " / " + c.allowed);
        m_asked.clear();
        Edit("editTrustedNetworks")->setText(QString::fromLatin1(c.trusted));
        Edit("editAllowedNetworks")->setText(QString::fromLatin1(c.allowed));
        EXPECT_FALSE(m_view->Apply());
        ASSERT_EQ(m_asked.size(), 1u);
        EXPECT_TRUE(m_asked[0].startsWith(QString::fromLatin1(c.says))) << m_asked[0].toStdString();
        EXPECT_TRUE(m_asked[0].contains(QStringLiteral("Nothing was changed."))) << m_asked[0].toStdString();
        EXPECT_EQ(ReadAll(m_ini), before);
        EXPECT_FALSE(OnServer([](TZelWirelessServer& s) { return s.Access.Configured; }));
    }
}
