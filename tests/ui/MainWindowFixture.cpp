#include "MainWindowFixture.h"

#include <QAction>
#include <QTest>

#include "base/AppPaths.h"
#include "base/IniFile.h"
#include "base/Platform.h"
#include "base/WirelessPrefsMgr.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/TestHandheld.h"
#include "ui/GuardedCall.h"
#include "ui/frm_MainContainer.h"

void MainWindowFixture::SetUp() {
    m_savedConfigHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Folder.File("config")));
    ConfigFile = Folder.File("ZelWireless.ini");
    Port = FreeLoopbackPort();
    WriteAll(ConfigFile, "[Settings]\r\nServerPort=" + std::to_string(Port) +
                             "\r\nServer IP Address=127.0.0.1\r\nLogfilename=" + Folder.File("log.txt") +
                             "\r\n");
    TMessageBox::SetAnswerer([this](const TMessageBox::Request& request) {
        Boxes.push_back(request);
        if (Answers.empty()) {
            ADD_FAILURE() << "unexpected message box: " << request.text.toStdString();
            return QMessageBox::No;
        }
        const QMessageBox::StandardButton answer = Answers.front();
        Answers.pop_front();
        return answer;
    });
}

void MainWindowFixture::TearDown() {
    Window.reset();
    PumpFor(10);
    if (g_PrefsMgr == Prefs.get())
        g_PrefsMgr = nullptr;
    Prefs.reset();
    TMessageBox::SetAnswerer({});
    if (m_savedConfigHome.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_savedConfigHome);
}

void MainWindowFixture::CreateWindow() {
    Prefs = std::make_unique<TZel_WirelessPrefsMgr>(MakeAppPaths(Platform::ExecutablePath(), ConfigFile));
    // The views read the program's preferences, as in the program.
    g_PrefsMgr = Prefs.get();
    Window = std::make_unique<TfrmMainContainer>(Prefs.get());
    // Offscreen there is no tray; tests that need one say so.
    Window->TrayAvailable = [] { return false; };
    Window->OpenUrl = [](const QUrl&) {};
}

void MainWindowFixture::ShowWindow() {
    CreateWindow();
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
    ASSERT_EQ(Window->CurrentView(), TfrmMainContainer::vwClientList);
}

void MainWindowFixture::EnableServer() {
    Window->Application().EnableServer();
    ASSERT_TRUE(Window->Application().IsEnabled());
}

void MainWindowFixture::Connect(TTestHandheld& handheld, const std::string& serial) {
    const size_t before = Window->Application().Snapshot().Clients.size();
    bool greeted = false;
    ASSERT_TRUE(RunPumping([&] {
        greeted = handheld.Connect(Port) && handheld.Hello().Received &&
                  handheld.Login("user", serial).Type == "PCLOGIN";
    }));
    ASSERT_TRUE(greeted);
    // Listed when the window has the server's snapshot that shows it.
    ASSERT_TRUE(PumpUntil([&] { return Window->Application().Snapshot().Clients.size() > before; }));
}

QAction* MainWindowFixture::Action(const char* name) const {
    auto* action = Window->findChild<QAction*>(QString::fromLatin1(name));
    EXPECT_NE(action, nullptr) << name;
    return action;
}

void MainWindowFixture::Trigger(const char* actionName) {
    if (QAction* action = Action(actionName))
        action->trigger();
}

void MainWindowFixture::AppendToConfig(const std::string& text) {
    WriteAll(ConfigFile, ReadAll(ConfigFile) + text);
}

std::string MainWindowFixture::ConfigValue(const std::string& section, const std::string& key) const {
    return TIniFile(ConfigFile).ReadString(section, key, "<missing>");
}
