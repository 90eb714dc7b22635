#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/ServerControl.h"

class QLabel;
class QMenu;
class QMdiSubWindow;
class QSystemTrayIcon;
class QTimer;
class TfrmClientList;
class TZel_WirelessPrefsMgr;

namespace Ui {
class TfrmMainContainer;
}

// The operator's main window: an MDI container that shows one view at a
// time (maximized, frameless), the tool bar, the menu, the status bar and the
// tray icon. It owns the program's server, which runs on a thread of its
// own, shows the snapshots it sends and routes them to the current view.
// Only the confirmed exit (or a stop request of the system) ends the program.
class TfrmMainContainer : public QMainWindow {
    Q_OBJECT
public:
    enum View : quint16 {
        vwNone = 0,
        vwClientList = 1,
        vwAppSettings = 2,
        vwSessionConfig = 3,
        vwData = 4,
        vwDevices = 5
    };
    enum TrayImage { TrayDisabled = 0, TrayEnabled1 = 1, TrayEnabled2 = 2 };

    // Runs the creation steps at once (server, settings, log sink, upgrade);
    // a failing step is logged and the window goes on as far as it got.
    explicit TfrmMainContainer(TZel_WirelessPrefsMgr* prefs, QWidget* parent = nullptr);
    ~TfrmMainContainer() override;

    void ShowView(int view);
    void updateMenu();
    void DoUpdateTrayIcon();
    void DoFlashTrayIcon();
    void DoMinimize();
    void mniExitClick();
    void mniEnabledClick();
    void mniAutoStartClick();
    void mniServerDisconnectAllClick();
    void mniWebsiteClick();
    void mniAboutClick();
    void mniTrayRestoreClick();
    // The exit steps without the question: settings, placement, tray icon;
    // then terminated() asks the program to end.
    void DoTerminate();
    // The log sink: the log file, and the monitor's log pane while it is shown.
    void LogMessage(const std::string& text);
    void loadWindowSettings();
    void saveWindowSettings();

    TServerControl& Application() { return m_app; }
    int CurrentView() const { return m_currentView; }
    int LastView() const { return m_lastView; }
    bool HiddenToTray() const { return m_hiddenToTray; }
    TfrmClientList* ClientList() const;
    QWidget* CurrentViewWindow() const;
    QSystemTrayIcon* TrayIcon() const { return m_tray; }
    QMenu* TrayMenu() const { return m_trayMenu; }
    TrayImage CurrentTrayImage() const { return m_trayImage; }
    QString StatusPanelText(int panel) const;
    // "1 device waiting for approval", empty when none waits.
    QString WaitingDevicesText() const;

    // Whether the desktop shows tray icons now; tests may replace it.
    std::function<bool()> TrayAvailable;
    // Opens a web address; tests may replace it.
    std::function<void(const QUrl&)> OpenUrl;

signals:
    void terminated();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate();
    void SetUpActions();
    void SetUpTray();
    void SetUpToolBar();
    void ViewToggled(int view, bool checked);
    void HandleException(const std::exception& error);
    QWidget* CreateView(int view);
    bool CloseViews();
    void AskRestartAfterWizard(QWidget* closedView);
    void setToolbarChecks();
    void SetAutoStart(bool on);
    void UpdateServerItems();
    void UpdateClientCount();
    void UpdateTitle();
    void UpdateWaitingDevices();
    void DoWirelessStatusChange();
    void DoWirelessClientAddDrop();
    void WirelessChange();
    void timerStartupTimer();
    void timerTrayIconTimer();
    void CheckTrayStillThere();
    void TrayActivated(int reason);
    QAction* ViewAction(int view) const;

    std::unique_ptr<Ui::TfrmMainContainer> ui;
    TZel_WirelessPrefsMgr* m_prefs;
    // Before the application: its server still logs while it is freed.
    std::function<void(const std::string&)> m_fileSink;
    TServerControl m_app;

    quint16 m_currentView = vwNone;
    quint16 m_lastView = vwNone;
    bool m_hiddenToTray = false;
    std::optional<bool> m_trayItemEnabled; // the server state the tray's enable item shows
    bool m_shown = false;
    bool m_placementLoaded = false;
    bool m_closingViews = false;
    bool m_terminating = false;
    bool m_syncingChecks = false; // the tool bar's checks are being set, not changed by the operator
    QPointer<QMdiSubWindow> m_viewWindow;

    QLabel* m_panels[2] = {};
    QTimer* timerStartup = nullptr;
    QTimer* TimerTrayIcon = nullptr;
    QTimer* m_trayWatch = nullptr;
    QTimer* m_waitingBlink = nullptr; // flashes the tray while a device waits

    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_trayMenu = nullptr;
    QAction* mniTrayEnabled = nullptr;
    QAction* mniTrayRestore = nullptr;
    QAction* mniTrayExit = nullptr;
    std::array<QIcon, 3> m_trayIcons;
    bool m_trayLoaded = false;
    TrayImage m_trayImage = TrayDisabled;
    int m_devicesWaiting = 0; // as last shown
};
