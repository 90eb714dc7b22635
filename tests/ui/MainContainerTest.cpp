// The main window over a real server with handhelds on loopback: views,
// menus, status bar, tray, placement and the ways the program ends.
#include "MainWindowFixture.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <functional>

#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/Platform.h"
#include "base/UserRegistry.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/TestHandheld.h"
#include "ui/GuardedCall.h"
#include "ui/OperatorProgram.h"
#include "ui/frm_AboutBox.h"
#include "ui/frm_ClientList.h"
#include "ui/frm_MainContainer.h"

namespace {

using View = TfrmMainContainer::View;

const char* const kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class MainContainerTest : public MainWindowFixture {};

TEST_F(MainContainerTest, WindowIsExposedAndServesHandheldsFromTheServersThread) {
    ShowWindow();
    // Without a tray too the caption stays; the status bar shows the state.
    EXPECT_EQ(Window->windowTitle(), QStringLiteral("Zel - Mendrix Wireless Server"));
    EXPECT_NE(qobject_cast<TfrmClientList*>(Window->CurrentViewWindow()), nullptr);
    auto* area = Window->findChild<QMdiArea*>(QStringLiteral("mdiArea"));
    ASSERT_NE(area, nullptr);
    ASSERT_EQ(area->subWindowList().size(), 1);
    EXPECT_TRUE(area->subWindowList().front()->isMaximized());
    EXPECT_TRUE(area->subWindowList().front()->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(Window->StatusPanelText(0), QStringLiteral("Connected clients: 0"));
    EXPECT_FALSE(Action("mniServerDisconnectAll")->isEnabled());
    EXPECT_FALSE(Action("mniServerDisconnectOne")->isEnabled());

    EnableServer();
    EXPECT_EQ(Window->StatusPanelText(1), QStringLiteral("Server enabled on 127.0.0.1:%1").arg(Port));
    EXPECT_TRUE(Action("mniEnabled")->isChecked());
    EXPECT_EQ(Window->windowTitle(), QStringLiteral("Zel - Mendrix Wireless Server"));
    TTestHandheld first, second;
    Connect(first, "SN-1");
    Connect(second, "SN-2");
    EXPECT_EQ(Window->StatusPanelText(0), QStringLiteral("Connected clients: 2"));
    EXPECT_TRUE(Action("mniServerDisconnectAll")->isEnabled());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(MainContainerTest, StartupTimerEnablesTheServerOnce) {
    AppendToConfig("[ApplicationState]\r\n");
    CreateWindow();
    auto* timer = Window->findChild<QTimer*>(QStringLiteral("timerStartup"));
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 3200);
    EXPECT_TRUE(timer->isActive());
    EXPECT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));
    ASSERT_TRUE(
        PumpUntil([&] { return OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }); }, 6000));
    EXPECT_FALSE(timer->isActive());
}

TEST_F(MainContainerTest, ShowViewRoutesAndFreesClosedClientsBehindOtherViews) {
    ShowWindow();
    EnableServer();
    EXPECT_TRUE(Action("actClientList")->isChecked());

    Trigger("actData");
    EXPECT_EQ(Window->CurrentView(), View::vwData);
    EXPECT_EQ(Window->LastView(), View::vwData);
    EXPECT_TRUE(Action("actData")->isChecked());
    EXPECT_FALSE(Action("actClientList")->isChecked());
    Trigger("mniClientList");
    EXPECT_EQ(Window->CurrentView(), View::vwClientList);
    QPointer<QWidget> monitor = Window->CurrentViewWindow();
    ASSERT_TRUE(monitor);
    // The same view again changes nothing.
    Trigger("actClientList");
    EXPECT_EQ(Window->CurrentViewWindow(), monitor.data());

    // Another view: the monitor is freed once its handlers are done.
    Trigger("mniSessionSettings");
    EXPECT_EQ(Window->CurrentView(), View::vwSessionConfig);
    ASSERT_TRUE(PumpUntil([&] { return monitor.isNull(); }));

    // Behind another view a handheld that leaves is still freed.
    TTestHandheld handheld;
    Connect(handheld, "SN-1");
    EXPECT_EQ(Window->StatusPanelText(0), QStringLiteral("Connected clients: 1"));
    handheld.Close();
    ASSERT_TRUE(
        PumpUntil([&] { return OnServer([&](TZelWirelessServer& s) { return s.Clients.empty(); }); }));
    ASSERT_TRUE(
        PumpUntil([&] { return Window->StatusPanelText(0) == QStringLiteral("Connected clients: 0"); }));
    EXPECT_FALSE(Action("mniServerDisconnectAll")->isEnabled());
}

TEST_F(MainContainerTest, AViewsOwnCloseGoesThroughShowView) {
    ShowWindow();
    auto* area = Window->findChild<QMdiArea*>(QStringLiteral("mdiArea"));
    QPointer<QMdiSubWindow> window = area->subWindowList().front();
    window->close(); // the window's own close, as Ctrl+F4 does
    ASSERT_TRUE(PumpUntil([&] { return window.isNull(); }));
    EXPECT_EQ(Window->CurrentView(), View::vwNone);
    EXPECT_TRUE(area->subWindowList().isEmpty());
    // Choosing the monitor again makes a new one.
    Trigger("actClientList");
    EXPECT_EQ(Window->CurrentView(), View::vwClientList);
    EXPECT_NE(Window->CurrentViewWindow(), nullptr);
}

// Stands for a view whose closing duties fail (the wizard's save): it refuses to close.
class TRefuseClose : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Close)
            return false;
        event->ignore();
        return true;
    }
};

TEST_F(MainContainerTest, AViewThatRefusesToCloseStaysAndNothingChanges) {
    ShowWindow();
    QWidget* monitor = Window->CurrentViewWindow();
    TRefuseClose refuse;
    monitor->installEventFilter(&refuse);
    Trigger("actAppSettings");
    EXPECT_EQ(Window->CurrentView(), View::vwClientList);
    EXPECT_EQ(Window->CurrentViewWindow(), monitor);
    EXPECT_TRUE(Action("actClientList")->isChecked());
    monitor->removeEventFilter(&refuse);
    Trigger("actAppSettings");
    EXPECT_EQ(Window->CurrentView(), View::vwAppSettings);
}

TEST_F(MainContainerTest, DisconnectAllClosesEveryHandheld) {
    ShowWindow();
    EnableServer();
    TTestHandheld first, second;
    Connect(first, "SN-1");
    Connect(second, "SN-2");
    Trigger("mniServerDisconnectAll");
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] { closed = first.WaitClosed() && second.WaitClosed(); }));
    EXPECT_TRUE(closed);
    ASSERT_TRUE(
        PumpUntil([&] { return OnServer([&](TZelWirelessServer& s) { return s.Clients.empty(); }); }));
}

TEST_F(MainContainerTest, TrayFollowsTheServerAndFlashes) {
    ShowWindow();
    auto* trayEnabled = Window->TrayMenu()->findChild<QAction*>(QStringLiteral("mniTrayEnabled"));
    ASSERT_NE(trayEnabled, nullptr);
    EXPECT_EQ(Window->CurrentTrayImage(), TfrmMainContainer::TrayDisabled);
    EXPECT_EQ(Window->TrayIcon()->toolTip(), QStringLiteral("Zel Wireless Server (Disabled)"));
    EXPECT_EQ(trayEnabled->text(), QStringLiteral("&Enable Server"));

    // Let any flash of the start end first.
    auto* flash = Window->findChild<QTimer*>(QStringLiteral("TimerTrayIcon"));
    ASSERT_TRUE(PumpUntil([&] { return !flash->isActive(); }));
    trayEnabled->trigger();
    EXPECT_TRUE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));
    EXPECT_EQ(Window->TrayIcon()->toolTip(), QStringLiteral("Zel Wireless Server (Enabled)"));
    EXPECT_EQ(trayEnabled->text(), QStringLiteral("&Disable Server"));
    EXPECT_EQ(Window->CurrentTrayImage(), TfrmMainContainer::TrayEnabled2);
    EXPECT_EQ(flash->interval(), 800);
    // A flash while one runs keeps its end: the timer is not started again.
    const int remaining = flash->remainingTime();
    PumpFor(50);
    Window->DoFlashTrayIcon();
    EXPECT_LT(flash->remainingTime(), remaining);
    ASSERT_TRUE(
        PumpUntil([&] { return Window->CurrentTrayImage() == TfrmMainContainer::TrayEnabled1; }, 2000));

    trayEnabled->trigger();
    EXPECT_FALSE(OnServer([&](TZelWirelessServer& s) { return s.IsEnabled(); }));
    EXPECT_EQ(Window->CurrentTrayImage(), TfrmMainContainer::TrayDisabled);
    EXPECT_EQ(Window->TrayIcon()->toolTip(), QStringLiteral("Zel Wireless Server (Disabled)"));
}

// The log starts afresh once per program start; switching back to the
// monitor or restoring from the tray (each makes a new monitor) keeps the
// day's lines and the previous day's "-old" copy.
TEST_F(MainContainerTest, TheLogIsResetOncePerStartNotPerMonitor) {
    const std::string log = Folder.File("log.txt");
    const std::string old = Folder.File("log-old.txt");
    WriteAll(log, "yesterday\r\n");
    ShowWindow();
    EXPECT_EQ(CountText(old, "yesterday"), 1);
    EnableServer();
    ASSERT_TRUE(PumpUntil([&] { return CountText(log, "Server enabled on") == 1; }));

    for (int i = 0; i < 2; ++i) {
        Trigger("actAppSettings");
        Trigger("actClientList");
        ASSERT_EQ(Window->CurrentView(), View::vwClientList);
    }
    Window->TrayAvailable = [] { return true; };
    Window->DoMinimize();
    Window->TrayMenu()->findChild<QAction*>(QStringLiteral("mniTrayRestore"))->trigger();
    ASSERT_EQ(Window->CurrentView(), View::vwClientList);

    EXPECT_EQ(CountText(log, "Server enabled on"), 1);
    EXPECT_EQ(CountText(old, "yesterday"), 1);
}

TEST_F(MainContainerTest, TrayTipNeverExceeds63Characters) {
    ShowWindow();
    const QString name = QApplication::applicationName();
    QApplication::setApplicationName(QString(80, QLatin1Char('x')));
    Window->DoUpdateTrayIcon();
    const QString tip = Window->TrayIcon()->toolTip();
    QApplication::setApplicationName(name);
    EXPECT_EQ(tip.size(), 63);
}

TEST_F(MainContainerTest, WithoutATrayMinimisingOnlyMinimises) {
    ShowWindow();
    Window->showMinimized();
    PumpFor(100);
    EXPECT_FALSE(Window->HiddenToTray());
    EXPECT_TRUE(Window->isVisible());
    EXPECT_EQ(Window->CurrentView(), View::vwClientList);
    Window->DoMinimize();
    EXPECT_TRUE(Window->isVisible());
}

TEST_F(MainContainerTest, WithATrayMinimisingHidesAndRestoreBringsTheViewBack) {
    ShowWindow();
    bool trayThere = true;
    Window->TrayAvailable = [&] { return trayThere; };
    Window->showMinimized();
    ASSERT_TRUE(PumpUntil([&] { return Window->HiddenToTray(); }));
    EXPECT_FALSE(Window->isVisible());
    EXPECT_EQ(Window->CurrentView(), View::vwNone);
    EXPECT_EQ(Window->LastView(), View::vwClientList);

    Window->TrayMenu()->findChild<QAction*>(QStringLiteral("mniTrayRestore"))->trigger();
    EXPECT_TRUE(Window->isVisible());
    EXPECT_FALSE(Window->HiddenToTray());
    EXPECT_EQ(Window->CurrentView(), View::vwClientList);

    // The tray goes away while the window lives in it: the window comes back.
    Window->DoMinimize();
    ASSERT_FALSE(Window->isVisible());
    trayThere = false;
    ASSERT_TRUE(PumpUntil([&] { return Window->isVisible(); }, 5000));
    EXPECT_EQ(Window->CurrentView(), View::vwClientList);
}

// The left tool bar's buttons, in tool-bar order, with the view each shows.
std::vector<std::pair<QToolButton*, int>> ViewButtons(TfrmMainContainer& window) {
    auto* bar = window.findChild<QToolBar*>(QStringLiteral("ActionToolBar1"));
    std::vector<std::pair<QToolButton*, int>> buttons;
    const std::pair<const char*, int> views[] = {{"actClientList", View::vwClientList},
                                                 {"actSessionConfiguration", View::vwSessionConfig},
                                                 {"actAppSettings", View::vwAppSettings},
                                                 {"actData", View::vwData},
                                                 {"actDevices", View::vwDevices}};
    for (const auto& [name, view] : views)
        buttons.emplace_back(qobject_cast<QToolButton*>(
                                 bar->widgetForAction(window.findChild<QAction*>(QString::fromLatin1(name)))),
                             view);
    return buttons;
}

// Exactly the button of the view on screen is down, action and button alike.
void ExpectOnlyCurrentChecked(TfrmMainContainer& window, const std::string& how) {
    for (const auto& [button, view] : ViewButtons(window)) {
        const bool current = view == window.CurrentView();
        EXPECT_EQ(button->isChecked(), current) << how << ": " << button->text().toStdString();
        EXPECT_EQ(button->defaultAction()->isChecked(), current)
            << how << ": " << button->text().toStdString();
    }
}

// A click, the keyboard and an assistive technology's Toggle (which only
// flips the button's check) switch the view alike, and never leave two down.
TEST_F(MainContainerTest, ToolBarButtonsSwitchViewsOnTheirCheckState) {
    ShowWindow();
    const struct {
        const char* how;
        std::function<void(QAbstractButton*)> press;
    } ways[] = {
        {"toggle", [](QAbstractButton* b) { b->toggle(); }},
        {"setChecked", [](QAbstractButton* b) { b->setChecked(true); }},
        {"click", [](QAbstractButton* b) { b->click(); }},
        {"space", [](QAbstractButton* b) { QTest::keyClick(b, Qt::Key_Space); }},
    };
    for (const auto& way : ways)
        for (const auto& [button, view] : ViewButtons(*Window)) {
            ASSERT_NE(button, nullptr);
            EXPECT_TRUE(button->focusPolicy() & Qt::TabFocus) << "reachable with the keyboard";
            if (view == Window->CurrentView())
                continue;
            way.press(button);
            EXPECT_EQ(Window->CurrentView(), view) << way.how << ": " << button->text().toStdString();
            ExpectOnlyCurrentChecked(*Window, way.how);
            EXPECT_TRUE(Boxes.empty()) << way.how << ": " << button->text().toStdString();
        }
    // The current view's button cannot be raised: it stays down, the view stays.
    auto [current, view] = ViewButtons(*Window).back();
    ASSERT_EQ(Window->CurrentView(), view);
    current->toggle();
    EXPECT_EQ(Window->CurrentView(), view);
    ExpectOnlyCurrentChecked(*Window, "toggle of the current one");
    // Exit is a command: its question comes, its button does not stay down.
    auto* bar = Window->findChild<QToolBar*>(QStringLiteral("ActionToolBar1"));
    auto* exit = qobject_cast<QAbstractButton*>(bar->widgetForAction(Action("actExit")));
    Answers = {QMessageBox::No};
    exit->toggle();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].text, QStringLiteral("Are you sure you want to exit Zel Wireless Server?"));
    EXPECT_FALSE(exit->isChecked());
}

// Keys with one owner each while the monitor (with its own menu) is shown:
// every menu shows its key, and the key does what the menu says.
TEST_F(MainContainerTest, KeysReachTheViewsAndTheServerCommandsWhileTheMonitorIsShown) {
    ShowWindow();
    Window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window.get()));
    // Ctrl+1, Ctrl+2 ... in tool-bar order.
    int number = 0;
    for (const auto& [button, view] : ViewButtons(*Window)) {
        ++number;
        EXPECT_EQ(button->defaultAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+%1").arg(number)));
        QTest::keyClick(Window.get(), static_cast<Qt::Key>(Qt::Key_0 + number), Qt::ControlModifier);
        EXPECT_EQ(Window->CurrentView(), view) << "Ctrl+" << number;
    }
    QTest::keyClick(Window.get(), Qt::Key_1, Qt::ControlModifier);
    ASSERT_EQ(Window->CurrentView(), View::vwClientList);

    QWidget* monitor = Window->CurrentViewWindow();
    const std::pair<const char*, const char*> shared[] = {
        {"mniExit", "mniFileExit"},
        {"mniEnabled", "mniServerEnabled"},
        {"mniServerDisconnectAll", "mniServerDisconnectAll"}};
    for (const auto& [mine, monitors] : shared) {
        QAction* own = Action(mine);
        QAction* its = monitor->findChild<QAction*>(QString::fromLatin1(monitors));
        ASSERT_NE(its, nullptr) << monitors;
        EXPECT_FALSE(own->shortcut().isEmpty()) << mine;
        EXPECT_EQ(its->shortcut(), own->shortcut()) << "the monitor's menu shows the same key";
    }
    // From inside the monitor, where both menus have the key.
    monitor->findChild<QWidget*>(QStringLiteral("lstClientList"))->setFocus();
    const bool wasEnabled = Window->Application().IsEnabled();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(PumpUntil([&] { return Window->Application().IsEnabled() != wasEnabled; }));
    if (!Window->Application().IsEnabled())
        EnableServer();

    TTestHandheld handheld;
    Connect(handheld, "SN-1");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete, Qt::ShiftModifier);
    bool closed = false;
    ASSERT_TRUE(RunPumping([&] { closed = handheld.WaitClosed(); }));
    EXPECT_TRUE(closed) << "Shift+Del disconnects all";

    for (const auto key :
         {QKeyCombination(Qt::ControlModifier, Qt::Key_Q), QKeyCombination(Qt::AltModifier, Qt::Key_X)}) {
        Boxes.clear();
        Answers = {QMessageBox::No};
        QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
        ASSERT_EQ(Boxes.size(), 1u) << QKeySequence(key).toString().toStdString();
        EXPECT_EQ(Boxes[0].text, QStringLiteral("Are you sure you want to exit Zel Wireless Server?"));
    }
}

// A tool-bar button's tip shown while hovering leaves both panels in place.
TEST_F(MainContainerTest, StatusTipsLeaveTheStatusPanels) {
    ShowWindow();
    QStatusTipEvent tip(QStringLiteral("View the connected database tables"));
    QApplication::sendEvent(Window.get(), &tip);
    for (const char* name : {"sStatusBarPanel0", "sStatusBarPanel1"}) {
        auto* panel = Window->findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(panel, nullptr);
        EXPECT_TRUE(panel->isVisible()) << name;
    }
    EXPECT_EQ(Window->StatusPanelText(0), QStringLiteral("Connected clients: 0"));
}

// The operator's controls in a view: what can be read or used.
bool IsControl(QWidget* widget) {
    if (qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
        qobject_cast<QAbstractItemView*>(widget) || qobject_cast<QPlainTextEdit*>(widget) ||
        qobject_cast<QTabBar*>(widget))
        return true;
    auto* label = qobject_cast<QLabel*>(widget);
    return label && !label->text().isEmpty();
}

// Every control shown in the view, on every page of its tab widgets, is in
// sight or comes into sight by scrolling, at its full size. Returns the
// number of controls seen.
int ExpectControlsReachable(QWidget* view, const std::string& where) {
    std::vector<std::pair<QTabWidget*, int>> pages{{nullptr, 0}};
    for (QTabWidget* tabs : view->findChildren<QTabWidget*>())
        for (int i = 0; i < tabs->count(); ++i)
            pages.emplace_back(tabs, i);
    int seen = 0;
    for (const auto& [tabs, index] : pages) {
        if (tabs)
            tabs->setCurrentIndex(index);
        PumpFor(20);
        for (QWidget* control : view->findChildren<QWidget*>()) {
            if (!control->isVisible() || !IsControl(control))
                continue;
            // Parts of a control that lays them out itself: a tool bar puts what
            // does not fit behind its extension button, a tab bar scrolls its tabs,
            // a list scrolls under its header.
            QWidget* parent = control->parentWidget();
            if (qobject_cast<QToolBar*>(parent) || qobject_cast<QTabBar*>(parent) ||
                qobject_cast<QHeaderView*>(control))
                continue;
            for (QWidget* up = control->parentWidget(); up && up != view; up = up->parentWidget())
                if (auto* area = qobject_cast<QScrollArea*>(up)) {
                    area->ensureWidgetVisible(control, 0, 0);
                    break;
                }
            ++seen;
            const std::string name = where + ": " + control->metaObject()->className() + " " +
                                     control->objectName().toStdString() + " " +
                                     control->parentWidget()->objectName().toStdString();
            EXPECT_FALSE(control->visibleRegion().isEmpty()) << name << " is out of reach";
            const QSize least = control->minimumSizeHint();
            // A list or text box scrolls its own lines: two of them in sight will do.
            if (qobject_cast<QAbstractScrollArea*>(control)) {
                EXPECT_GE(control->height(), 2 * control->fontMetrics().lineSpacing())
                    << name << " is squeezed";
                continue;
            }
            // Up to the width the design gives it.
            EXPECT_GE(control->width(), std::min(least.width(), control->maximumWidth()))
                << name << " is squeezed";
            EXPECT_GE(control->height(), std::min(least.height(), control->maximumHeight()))
                << name << " is squeezed";
        }
    }
    return seen;
}

// The monitor and the settings view fit at 1024 x 768 (on a scaled screen
// too: the scaled run repeats this) and scroll what cannot fit in a smaller
// window (640 x 400: a 1280 x 800 screen at scale 2), rather than cutting
// controls off.
TEST_F(MainContainerTest, ViewsFitsOrScrollsAtAnySize) {
    ShowWindow();
    for (const int view : {View::vwClientList, View::vwAppSettings}) {
        Window->ShowView(view);
        for (const QSize size : {QSize(1024, 768), QSize(640, 400)}) {
            Window->resize(size);
            PumpFor(50);
            const std::string where = "view " + std::to_string(view) + " at " +
                                      std::to_string(Window->width()) + "x" +
                                      std::to_string(Window->height());
            EXPECT_GT(ExpectControlsReachable(Window->CurrentViewWindow(), where), 5) << where;
            if (size != QSize(1024, 768))
                continue;
            for (QScrollArea* area : Window->CurrentViewWindow()->findChildren<QScrollArea*>()) {
                if (area->isVisible()) {
                    EXPECT_FALSE(area->verticalScrollBar()->isVisible() ||
                                 area->horizontalScrollBar()->isVisible())
                        << where << ": " << area->objectName().toStdString() << " scrolls";
                }
            }
        }
    }
}

TEST_F(MainContainerTest, ExitAsksAndOnlyYesEnds) {
    ShowWindow();
    bool terminated = false;
    QObject::connect(Window.get(), &TfrmMainContainer::terminated, [&] { terminated = true; });
    Answers = {QMessageBox::No};
    Trigger("actExit");
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].text, QStringLiteral("Are you sure you want to exit Zel Wireless Server?"));
    EXPECT_EQ(Boxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_FALSE(terminated);

    // The close box asks the same question, and the window stays either way.
    Answers = {QMessageBox::No};
    EXPECT_FALSE(Window->close());
    ASSERT_TRUE(PumpUntil([&] { return Boxes.size() == 2; }));
    EXPECT_TRUE(Window->isVisible());
    EXPECT_FALSE(terminated);

    Window->move(120, 80);
    Answers = {QMessageBox::Yes};
    Trigger("mniExit");
    EXPECT_TRUE(terminated);
    EXPECT_EQ(ConfigValue("ZelWireless Window Settings", "top"), "80");
    EXPECT_EQ(ConfigValue("ZelWireless Window Settings", "left"), "120");
    EXPECT_EQ(ConfigValue("Settings", "ServerPort"), std::to_string(Port));
}

TEST_F(MainContainerTest, HiddenWindowKeepsRunningWhenTheAboutBoxCloses) {
    ConfigureOperatorApplication();
    ShowWindow();
    Window->TrayAvailable = [] { return true; };
    Window->DoMinimize();
    ASSERT_FALSE(Window->isVisible());
    Window->mniAboutClick();
    auto* about = Window->findChild<TfrmAboutBox*>();
    ASSERT_NE(about, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(about));
    EXPECT_TRUE(about->isModal());
    // If closing the last visible window ended the program, the loop would
    // be left with 0 before its own time is up.
    QEventLoop loop;
    QTimer::singleShot(50, about, [about] { about->close(); });
    QTimer::singleShot(500, &loop, [&loop] { loop.exit(7); });
    EXPECT_EQ(loop.exec(), 7);
    EXPECT_TRUE(Window->HiddenToTray());
}

struct PlacementCase {
    const char* name;
    bool saved;
    int top, left, height, width;
    int wantTop, wantLeft, wantHeight, wantWidth;
};

class PlacementTest : public MainWindowFixture, public testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, SavedPlacementIsRestoredOnTheScreensThatExist) {
    const PlacementCase& c = GetParam();
    if (c.saved)
        AppendToConfig("[ZelWireless Window Settings]\r\ntop=" + std::to_string(c.top) +
                       "\r\nleft=" + std::to_string(c.left) + "\r\nheight=" + std::to_string(c.height) +
                       "\r\nwidth=" + std::to_string(c.width) + "\r\n");
    ShowWindow();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_GE(screen.width(), 800);
    ASSERT_GE(screen.height(), 600);
    EXPECT_EQ(Window->pos(), QPoint(c.wantLeft, c.wantTop));
    // Negative: as large as the screen.
    EXPECT_EQ(Window->size(), QSize(c.wantWidth < 0 ? screen.width() : c.wantWidth,
                                    c.wantHeight < 0 ? screen.height() : c.wantHeight));
}

// The offscreen screen is at least 800 x 600.
INSTANTIATE_TEST_SUITE_P(
    Window, PlacementTest,
    testing::Values(PlacementCase{"Saved", true, 100, 200, 500, 600, 100, 200, 500, 600},
                    PlacementCase{"Missing", false, 0, 0, 0, 0, 36, 25, 560, 775},
                    PlacementCase{"OnAScreenThatIsGone", true, 100, 2500, 500, 600, 100, 200, 500, 600},
                    PlacementCase{"AboveTheScreen", true, -400, 100, 300, 400, 0, 100, 300, 400},
                    PlacementCase{"LargerThanTheScreen", true, 0, 0, 3000, 3000, 0, 0, -1, -1}),
    [](const testing::TestParamInfo<PlacementCase>& info) { return std::string(info.param.name); });

// Stopped before the window ever opened (during the splash): the saved
// placement must not be replaced by that of a window nobody saw.
TEST_F(MainContainerTest, AWindowThatNeverOpenedKeepsTheSavedPlacement) {
    AppendToConfig("[ZelWireless Window Settings]\r\ntop=100\r\nleft=200\r\nheight=500\r\nwidth=600\r\n");
    CreateWindow();
    Window->DoTerminate();
    TIniFile ini(ConfigFile);
    EXPECT_EQ(ini.ReadString("ZelWireless Window Settings", "top", ""), "100");
    EXPECT_EQ(ini.ReadString("ZelWireless Window Settings", "left", ""), "200");
    EXPECT_EQ(ini.ReadString("ZelWireless Window Settings", "width", ""), "600");
}

TEST_F(MainContainerTest, AutoStartWritesTheQuotedProgramAndEmptiesIt) {
    ShowWindow();
    EXPECT_FALSE(Action("mniAutoStart")->isChecked());
    Answers = {QMessageBox::Ok};
    Trigger("mniAutoStart");
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(
        Boxes[0].text,
        QStringLiteral("Zel Wireless Server will start automatically the next time you reboot and log on."));
    const std::string quoted = "\"" + Platform::ExecutablePath() + "\"";
    EXPECT_EQ(ReadUserRegString(kRunKey, "Zel Wireless Server"), quoted);
    Window->updateMenu();
    EXPECT_TRUE(Action("mniAutoStart")->isChecked());

    Trigger("mniAutoStart");
    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(ReadUserRegString(kRunKey, "Zel Wireless Server"), "");
    Window->updateMenu();
    EXPECT_FALSE(Action("mniAutoStart")->isChecked());
}

TEST_F(MainContainerTest, EscapedErrorsAreLoggedWithoutABox) {
    ShowWindow();
    Guarded([] { throw Exception("TTest.Handler: went wrong"); });
    Guarded([] { throw std::runtime_error("plain failure"); });
    EXPECT_TRUE(Boxes.empty());
    const std::string log = ReadAll(Folder.File("log.txt"));
    EXPECT_NE(log.find("Unhandled error: TTest.Handler: went wrong"), std::string::npos) << log;
    EXPECT_NE(log.find("plain failure"), std::string::npos) << log;
}

class ESocketError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ESocketError"; }
};

TEST_F(MainContainerTest, EscapedSocketErrorRefreshesTheMonitor) {
    ShowWindow();
    EnableServer();
    TTestHandheld handheld;
    Connect(handheld, "SN-1");
    OnServer([&](TZelWirelessServer& s) { return s.Clients.front()->CloseConnection(); });
    Guarded([] { throw ESocketError("Socket error 10054"); });
    EXPECT_TRUE(PumpUntil([&] {
        return OnServer([&](TZelWirelessServer& s) { return s.Clients.empty(); }) &&
               Window->StatusPanelText(0) == QStringLiteral("Connected clients: 0");
    }));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(MainContainerTest, CoreMessagesAreQueuedNotModal) {
    ConfigureOperatorApplication();
    ShowWindow();
    Answers = {QMessageBox::Ok};
    // The server's thread reports a failing log file: the box comes on the GUI thread.
    std::thread([] { Platform::ShowMessage("AppendToFile: Error: /nowhere/log.txt: denied"); }).join();
    ASSERT_TRUE(PumpUntil([&] { return !Boxes.empty(); }));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].posted);
    EXPECT_EQ(Boxes[0].text, QStringLiteral("AppendToFile: Error: /nowhere/log.txt: denied"));
    Platform::SetMessageHook({});
    Platform::SetQuitHook({});
}

} // namespace
