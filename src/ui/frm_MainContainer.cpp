#include "ui/frm_MainContainer.h"

#include "ui_frm_MainContainer.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMenu>
#include <QScopedValueRollback>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/LogFileSink.h"
#include "base/Platform.h"
#include "base/UserRegistry.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "ui/DrawnImages.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"
#include "ui/ProductLinks.h"
#include "ui/ThemeIcons.h"
#include "ui/WindowPlacement.h"
#include "ui/Zel_ODBCConfig.h"
#include "ui/Zel_ODBCData.h"
#include "ui/frm_AboutBox.h"
#include "ui/frm_ApplicationSettings.h"
#include "ui/frm_ClientList.h"
#include "ui/frm_Devices.h"

namespace {

const char* const kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* const kAutoStartValue = "Zel Wireless Server";
const char* const kWindowSection = "ZelWireless Window Settings";
constexpr int kStartupMs = 3200;
constexpr int kTrayTimerMs = 1000;
constexpr int kFlashMs = 800;
// A flash, then as long dark, for as long as a device waits for approval.
constexpr int kWaitingBlinkMs = 2 * kFlashMs;
constexpr int kTrayWatchMs = 2000;
constexpr int kTipLength = 63;
constexpr int kToolBarWidth = 159;
constexpr int kPanelWidths[2] = {400, 200};
constexpr int kNumberOfSessions = 32;
constexpr int kNumberOfFields = 30;

// A status bar panel of the design's width that still lets the window shrink.
class TStatusPanel : public QLabel {
public:
    TStatusPanel(int width, QWidget* parent) : QLabel(parent), m_width(width) {}
    QSize sizeHint() const override { return {m_width, QLabel::sizeHint().height()}; }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

private:
    int m_width;
};

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QString AppTitle() {
    return QCoreApplication::applicationName();
}

std::string QuotedExecutable() {
    return "\"" + Platform::ExecutablePath() + "\"";
}

} // namespace

TfrmMainContainer::TfrmMainContainer(TZel_WirelessPrefsMgr* prefs, QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TfrmMainContainer>()), m_prefs(prefs), m_app(prefs) {
    ui->setupUi(this);
    setWindowIcon(DrawApplicationIcon());
    TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    m_fileSink = MakeLogFileSink([this] { return m_prefs ? m_prefs->LogFilename : std::string(); }, false);

    ui->ActionToolBar1->setFixedWidth(kToolBarWidth);
    ui->mdiArea->setViewMode(QMdiArea::SubWindowView);
    for (int i = 0; i < 2; ++i) {
        m_panels[i] = new TStatusPanel(kPanelWidths[i], this);
        m_panels[i]->setObjectName(QStringLiteral("sStatusBarPanel%1").arg(i));
        // Permanent: a tool-bar button's tip shown while hovering must not hide them.
        ui->sStatusBar->addPermanentWidget(m_panels[i], i == 1 ? 1 : 0); // the last panel takes what is left
    }

    timerStartup = new QTimer(this);
    timerStartup->setObjectName(QStringLiteral("timerStartup"));
    timerStartup->setInterval(kStartupMs);
    connect(timerStartup, &QTimer::timeout, this, [this] { Guarded([this] { timerStartupTimer(); }); });
    TimerTrayIcon = new QTimer(this);
    TimerTrayIcon->setObjectName(QStringLiteral("TimerTrayIcon"));
    TimerTrayIcon->setInterval(kTrayTimerMs);
    connect(TimerTrayIcon, &QTimer::timeout, this, [this] { Guarded([this] { timerTrayIconTimer(); }); });
    TimerTrayIcon->start();
    m_waitingBlink = new QTimer(this);
    m_waitingBlink->setInterval(kWaitingBlinkMs);
    connect(m_waitingBlink, &QTimer::timeout, this, [this] { Guarded([this] { DoFlashTrayIcon(); }); });
    m_trayWatch = new QTimer(this);
    m_trayWatch->setInterval(kTrayWatchMs);
    connect(m_trayWatch, &QTimer::timeout, this, [this] { Guarded([this] { CheckTrayStillThere(); }); });

    SetUpActions();
    SetUpTray();
    FormCreate();
    UpdateClientCount();
}

TfrmMainContainer::~TfrmMainContainer() {
    SetExceptionHandler({});
    // The views refer to the application; they go before it does, the one on
    // screen and any closed one still waiting for its deferred deletion.
    qDeleteAll(ui->mdiArea->findChildren<QMdiSubWindow*>());
    // The server logs its last lines through this window as it goes.
    m_app.ReleaseServer();
}

// Creation: the escaped-error handler first, so that a failing step below
// is logged and the window carries on as far as it got.
void TfrmMainContainer::FormCreate() {
    SetExceptionHandler([this](const std::exception& error) { HandleException(error); });
    m_app.OnStatusChange = [this] { Guarded([this] { DoWirelessStatusChange(); }); };
    m_app.OnClientAddDrop = [this] { Guarded([this] { DoWirelessClientAddDrop(); }); };
    m_app.OnChange = [this] { Guarded([this] { WirelessChange(); }); };
    Guarded([this] {
        try {
            m_app.Create([this](const std::string& text) { LogMessage(text); });
        } catch (...) {
            // The timer still runs when only a late step (the upgrade) failed.
            if (m_prefs)
                timerStartup->start();
            throw;
        }
        timerStartup->start();
    });
    // Once per program start, not at every opening of the monitor: switching
    // views or coming back from the tray must not rotate the day's log away.
    // On the server's thread, so that no line is being written meanwhile.
    if (m_prefs && m_app.HasServer())
        Guarded([this] { m_app.Call([this](TZelApplication&) { ResetLogFile(m_prefs->LogFilename); }); });
}

void TfrmMainContainer::HandleException(const std::exception& error) {
    LogError("Unhandled error: " + ExceptionText(error));
    const auto* known = dynamic_cast<const Exception*>(&error);
    if (known && std::string(known->ClassName()) == "ESocketError" && m_currentView == vwClientList)
        if (TfrmClientList* monitor = ClientList())
            monitor->RefreshClientList();
}

void TfrmMainContainer::SetUpActions() {
    struct Binding {
        QAction* action;
        const char* icon;
        QStyle::StandardPixmap fallback;
        std::function<void()> run;
    };
    const Binding bindings[] = {
        {ui->mniExit, "application-exit", QStyle::SP_DialogCloseButton, [this] { mniExitClick(); }},
        {ui->mniEnabled, nullptr, QStyle::SP_CustomBase, [this] { mniEnabledClick(); }},
        {ui->mniServerDisconnectOne, nullptr, QStyle::SP_CustomBase,
         [this] {
             TMessageBox::Show(this,
                               QStringLiteral("A client cannot be selected for disconnect from this screen"));
         }},
        {ui->mniServerDisconnectAll, nullptr, QStyle::SP_CustomBase,
         [this] { mniServerDisconnectAllClick(); }},
        {ui->mniClientList, "network-wired", QStyle::SP_ComputerIcon, [this] { ShowView(vwClientList); }},
        {ui->mniAppSettings, "applications-system", QStyle::SP_FileDialogInfoView,
         [this] { ShowView(vwAppSettings); }},
        {ui->mniSessionSettings, "preferences-system", QStyle::SP_FileDialogDetailedView,
         [this] { ShowView(vwSessionConfig); }},
        {ui->mniDBViewer, "x-office-spreadsheet", QStyle::SP_FileDialogContentsView,
         [this] { ShowView(vwData); }},
        {ui->mniDevices, "security-high", QStyle::SP_DriveNetIcon, [this] { ShowView(vwDevices); }},
        {ui->mniWebsite, "web-browser", QStyle::SP_DriveNetIcon, [this] { mniWebsiteClick(); }},
        {ui->mniAbout, "help-about", QStyle::SP_MessageBoxInformation, [this] { mniAboutClick(); }},
    };
    // The menu item has flipped its own check mark when this runs.
    connect(ui->mniAutoStart, &QAction::triggered, this,
            [this](bool checked) { Guarded([this, checked] { SetAutoStart(checked); }); });
    for (const Binding& binding : bindings) {
        if (binding.icon)
            binding.action->setIcon(ThemeIcon(binding.icon, binding.fallback));
        connect(binding.action, &QAction::triggered, this, [run = binding.run] { Guarded(run); });
    }
    // Shortcuts work while a view has the focus, and while the menu bar is hidden.
    // The monitor's menu shows the same keys without owning them (its actions'
    // context is their menu), so these are never ambiguous.
    for (QAction* action : {ui->mniExit, ui->mniEnabled, ui->mniServerDisconnectAll})
        action->setShortcutContext(Qt::WindowShortcut);
    SetUpToolBar();
}

// The left tool bar's actions act on their check state, not on a click: a
// click, the keyboard and an assistive technology's Toggle all change it (a
// tool button passes its own check change on to its action). Ctrl+1,
// Ctrl+2 ... reach the views in tool-bar order, a view added later the next.
void TfrmMainContainer::SetUpToolBar() {
    const std::pair<QAction*, int> views[] = {{ui->actMain, vwNone},
                                              {ui->actClientList, vwClientList},
                                              {ui->actAppSettings, vwAppSettings},
                                              {ui->actSessionConfiguration, vwSessionConfig},
                                              {ui->actData, vwData},
                                              {ui->actDevices, vwDevices}};
    const std::pair<QAction*, std::pair<const char*, QStyle::StandardPixmap>> icons[] = {
        {ui->actMain, {"user-desktop", QStyle::SP_DesktopIcon}},
        {ui->actClientList, {"network-wired", QStyle::SP_ComputerIcon}},
        {ui->actAppSettings, {"applications-system", QStyle::SP_FileDialogInfoView}},
        {ui->actSessionConfiguration, {"preferences-system", QStyle::SP_FileDialogDetailedView}},
        {ui->actData, {"x-office-spreadsheet", QStyle::SP_FileDialogContentsView}},
        {ui->actDevices, {"security-high", QStyle::SP_DriveNetIcon}},
        {ui->actExit, {"application-exit", QStyle::SP_DialogCloseButton}}};
    for (const auto& [action, icon] : icons)
        action->setIcon(ThemeIcon(icon.first, icon.second));
    for (const auto& [action, view] : views)
        connect(action, &QAction::toggled, this, [this, view](bool checked) {
            Guarded([this, view, checked] { ViewToggled(view, checked); });
        });
    connect(ui->actExit, &QAction::toggled, this, [this](bool checked) {
        if (m_syncingChecks || !checked)
            return;
        Guarded([this] {
            setToolbarChecks(); // a command, not a state: the button does not stay down
            mniExitClick();
        });
    });
    ui->actExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_X));
    ui->actExit->setShortcutContext(Qt::WindowShortcut);

    int number = 0;
    for (QAction* action : ui->ActionToolBar1->actions()) {
        auto* button = qobject_cast<QAbstractButton*>(ui->ActionToolBar1->widgetForAction(action));
        if (!button)
            continue;
        // Reachable with Tab like any other control.
        button->setFocusPolicy(Qt::TabFocus);
        if (action == ui->actExit || !action->isVisible())
            continue;
        ++number;
        action->setShortcut(QKeySequence(QStringLiteral("Ctrl+%1").arg(number)));
        action->setShortcutContext(Qt::WindowShortcut);
    }
}

void TfrmMainContainer::ViewToggled(int view, bool checked) {
    if (m_syncingChecks)
        return;
    if (checked)
        ShowView(view);
    // The view on screen stays checked, and a refused switch leaves its own
    // button checked: exactly one button is down afterwards.
    setToolbarChecks();
}

void TfrmMainContainer::SetUpTray() {
    m_tray = new QSystemTrayIcon(this);
    m_tray->setObjectName(QStringLiteral("TrayIcon"));
    m_trayMenu = new QMenu(this);
    m_trayMenu->setObjectName(QStringLiteral("mnuSystemTray"));
    mniTrayEnabled = m_trayMenu->addAction(QStringLiteral("&Enable Server"));
    mniTrayEnabled->setObjectName(QStringLiteral("mniTrayEnabled"));
    m_trayMenu->addSeparator();
    mniTrayRestore = m_trayMenu->addAction(ThemeIcon("view-restore", QStyle::SP_TitleBarNormalButton),
                                           QStringLiteral("&Show Zel Wireless Server"));
    mniTrayRestore->setObjectName(QStringLiteral("mniTrayRestore"));
    QFont bold = mniTrayRestore->font();
    bold.setBold(true);
    mniTrayRestore->setFont(bold); // the default item
    mniTrayExit = m_trayMenu->addAction(ThemeIcon("application-exit", QStyle::SP_DialogCloseButton),
                                        QStringLiteral("E&xit Zel Wireless Server.."));
    mniTrayExit->setObjectName(QStringLiteral("mniTrayExit"));
    connect(mniTrayEnabled, &QAction::triggered, this, [this] { Guarded([this] { mniEnabledClick(); }); });
    connect(mniTrayRestore, &QAction::triggered, this,
            [this] { Guarded([this] { mniTrayRestoreClick(); }); });
    connect(mniTrayExit, &QAction::triggered, this, [this] { Guarded([this] { mniExitClick(); }); });
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        Guarded([this, reason] { TrayActivated(reason); });
    });
}

void TfrmMainContainer::TrayActivated(int reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // A left click opens the same menu as a right click; the window stays as it is.
        m_trayMenu->popup(QCursor::pos());
        break;
    case QSystemTrayIcon::DoubleClick:
        mniTrayRestoreClick();
        break;
    default:
        break;
    }
}

// ---- views ----------------------------------------------------------------

TfrmClientList* TfrmMainContainer::ClientList() const {
    return m_currentView == vwClientList ? qobject_cast<TfrmClientList*>(CurrentViewWindow()) : nullptr;
}

QWidget* TfrmMainContainer::CurrentViewWindow() const {
    return m_viewWindow ? m_viewWindow->widget() : nullptr;
}

QAction* TfrmMainContainer::ViewAction(int view) const {
    switch (view) {
    case vwNone:
        return ui->actMain;
    case vwClientList:
        return ui->actClientList;
    case vwAppSettings:
        return ui->actAppSettings;
    case vwSessionConfig:
        return ui->actSessionConfiguration;
    case vwData:
        return ui->actData;
    case vwDevices:
        return ui->actDevices;
    default:
        return nullptr;
    }
}

QWidget* TfrmMainContainer::CreateView(int view) {
    switch (view) {
    case vwClientList: {
        auto* monitor = new TfrmClientList(m_app);
        connect(monitor, &TfrmClientList::showViewRequested, this,
                [this](int next) { Guarded([this, next] { ShowView(next); }); });
        connect(monitor, &TfrmClientList::exitRequested, this,
                [this] { Guarded([this] { mniExitClick(); }); });
        connect(monitor, &TfrmClientList::enabledToggleRequested, this,
                [this] { Guarded([this] { mniEnabledClick(); }); });
        connect(monitor, &TfrmClientList::disconnectAllRequested, this,
                [this] { Guarded([this] { mniServerDisconnectAllClick(); }); });
        connect(monitor, &TfrmClientList::autoStartToggleRequested, this,
                [this] { Guarded([this] { mniAutoStartClick(); }); });
        connect(monitor, &TfrmClientList::clientCountChanged, this,
                [this](const QString& text) { m_panels[0]->setText(text); });
        connect(monitor, &TfrmClientList::websiteRequested, this,
                [this] { Guarded([this] { mniWebsiteClick(); }); });
        connect(monitor, &TfrmClientList::aboutRequested, this,
                [this] { Guarded([this] { mniAboutClick(); }); });
        connect(monitor, &TfrmClientList::trayFlashRequested, this,
                [this] { Guarded([this] { DoFlashTrayIcon(); }); });
        return monitor;
    }
    case vwAppSettings:
        return new TfrmApplicationSettings(m_app);
    case vwSessionConfig: {
        auto* wizard = new TfrmODBCConfig;
        wizard->IniFile = m_prefs ? m_prefs->GetIniFile() : nullptr;
        wizard->ShowKeyField = true;
        wizard->ShowUpdateOptions = false;
        wizard->ShowTransferOptions = false;
        wizard->NumberOfSessions = kNumberOfSessions;
        wizard->NumberOfFields = kNumberOfFields;
        wizard->InitializeForm();
        return wizard;
    }
    case vwData: {
        auto* viewer = new TfrmODBCData;
        viewer->IniFile = m_prefs ? m_prefs->GetIniFile() : nullptr;
        viewer->NumberOfSessions = kNumberOfSessions;
        viewer->NumberOfFields = kNumberOfFields;
        viewer->InitializeForm();
        return viewer;
    }
    case vwDevices:
        return new TfrmDevices(m_app);
    default:
        return nullptr;
    }
}

// Closes the view on screen; false when it refused (the wizard whose save on
// closing failed stays). A closed view is freed once its handlers are done.
bool TfrmMainContainer::CloseViews() {
    const auto windows = ui->mdiArea->subWindowList();
    for (QMdiSubWindow* window : windows) {
        m_closingViews = true;
        const bool closed = window->close();
        m_closingViews = false;
        if (!closed)
            return false;
        window->deleteLater();
    }
    return true;
}

void TfrmMainContainer::AskRestartAfterWizard(QWidget* closedView) {
    auto* wizard = qobject_cast<TfrmODBCConfig*>(closedView);
    if (!wizard || !wizard->SettingsSaved())
        return;
    if (TMessageBox::Ask(
            this, QStringLiteral("Changes will take effect when you restart the server. Would you like "
                                 "to restart the server now?\n\nWarning: This will disconnect all "
                                 "clients!")) == QMessageBox::Yes)
        m_app.restartServer();
}

void TfrmMainContainer::ShowView(int view) {
    // The view being left may be waiting for its database with the window
    // live (the operator chose to wait): another switch meanwhile would free
    // it under its own close. The first switch goes on once the wait is over.
    if (m_closingViews) {
        setToolbarChecks();
        return;
    }
    if (view == m_currentView) {
        setToolbarChecks(); // the tool button unchecked itself when pressed
        return;
    }
    QPointer<QWidget> closing = CurrentViewWindow();
    if (!CloseViews())
        return;
    if (m_currentView == vwSessionConfig)
        AskRestartAfterWizard(closing);

    if (QWidget* content = CreateView(view)) {
        auto* window = new QMdiSubWindow(nullptr, Qt::FramelessWindowHint);
        window->setObjectName(QStringLiteral("ViewWindow%1").arg(view));
        window->setWidget(content);
        window->setWindowTitle(content->windowTitle());
        window->installEventFilter(this);
        content->installEventFilter(this);
        ui->mdiArea->addSubWindow(window);
        window->showMaximized();
        m_viewWindow = window;
    }
    m_currentView = static_cast<quint16>(view);
    if (view != vwNone)
        m_lastView = static_cast<quint16>(view);
    if (view == vwNone || view == vwClientList)
        UpdateClientCount();
    updateMenu();
    DoFlashTrayIcon();
}

// A view's own close (its button, Ctrl+F4) goes through ShowView like every
// other change of view, so that the current view is always the one on screen.
bool TfrmMainContainer::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close && !m_closingViews && m_viewWindow &&
        (watched == m_viewWindow || watched == m_viewWindow->widget())) {
        event->ignore();
        QTimer::singleShot(0, this, [this] { Guarded([this] { ShowView(vwNone); }); });
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- menu state -----------------------------------------------------------

void TfrmMainContainer::updateMenu() {
    UpdateServerItems();
    ui->mniAutoStart->setChecked(ReadUserRegString(kRunKey, kAutoStartValue) == QuotedExecutable());
    DoUpdateTrayIcon();
    setToolbarChecks();
}

void TfrmMainContainer::UpdateServerItems() {
    ui->mniEnabled->setChecked(m_app.IsEnabled());
    ui->mniServerDisconnectOne->setEnabled(false);
    ui->mniServerDisconnectAll->setEnabled(!m_app.Snapshot().Clients.empty());
}

void TfrmMainContainer::setToolbarChecks() {
    const QScopedValueRollback<bool> syncing(m_syncingChecks, true);
    QAction* current = ViewAction(m_currentView);
    for (QAction* action : {ui->actMain, ui->actClientList, ui->actAppSettings, ui->actSessionConfiguration,
                            ui->actData, ui->actDevices, ui->actExit}) {
        action->setChecked(action == current);
        // A button toggled on its own is not told by its unchanged action.
        if (auto* button = qobject_cast<QAbstractButton*>(ui->ActionToolBar1->widgetForAction(action)))
            button->setChecked(action->isChecked());
    }
}

void TfrmMainContainer::UpdateClientCount() {
    m_panels[0]->setText(QStringLiteral("Connected clients: %1").arg(m_app.Snapshot().Clients.size()));
}

QString TfrmMainContainer::StatusPanelText(int panel) const {
    return m_panels[panel]->text();
}

// The caption stays the same with or without a tray: the status bar shows
// the server state, and a caption that changes with it makes a screen reader
// announce the window anew at every switch.
void TfrmMainContainer::UpdateTitle() {
    const QString title = QStringLiteral("Zel - Mendrix Wireless Server");
    if (windowTitle() != title)
        setWindowTitle(title);
}

// ---- commands -------------------------------------------------------------

void TfrmMainContainer::mniEnabledClick() {
    if (m_app.HasServer())
        m_app.SetEnabled(!m_app.IsEnabled());
    updateMenu();
}

void TfrmMainContainer::mniServerDisconnectAllClick() {
    m_app.DisconnectAll();
    updateMenu();
}

void TfrmMainContainer::mniAutoStartClick() {
    SetAutoStart(!ui->mniAutoStart->isChecked());
}

void TfrmMainContainer::SetAutoStart(bool on) {
    ui->mniAutoStart->setChecked(on);
    try {
        WriteUserRegString(kRunKey, kAutoStartValue, on ? QuotedExecutable() : std::string());
    } catch (const std::exception&) {
        // The check mark follows the flip even when the store could not be written.
    }
    if (on)
        TMessageBox::Show(this,
                          AppTitle() + QStringLiteral(" will start automatically the next time you reboot "
                                                      "and log on."));
}

void TfrmMainContainer::mniWebsiteClick() {
    OpenUrl(VendorWebsite());
    raise();
    activateWindow();
}

void TfrmMainContainer::mniAboutClick() {
    // Modal for the operator, without a nested loop: the server keeps serving.
    auto* about = new TfrmAboutBox(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->setWindowModality(Qt::ApplicationModal);
    about->show();
}

void TfrmMainContainer::mniExitClick() {
    if (TMessageBox::Ask(this, QStringLiteral("Are you sure you want to exit %1?").arg(AppTitle())) !=
        QMessageBox::Yes)
        return;
    // Database work of the view on screen is waited for or cancelled, as the operator answers.
    if (auto* viewer = qobject_cast<TfrmODBCData*>(CurrentViewWindow()))
        viewer->FinishWork();
    else if (auto* wizard = qobject_cast<TfrmODBCConfig*>(CurrentViewWindow()))
        wizard->FinishWork();
    DoTerminate();
}

void TfrmMainContainer::DoTerminate() {
    if (m_terminating)
        return;
    m_terminating = true;
    Guarded([this] { m_app.Terminate(); });
    Guarded([this] { saveWindowSettings(); });
    m_tray->hide();
    m_trayWatch->stop();
    emit terminated();
}

void TfrmMainContainer::closeEvent(QCloseEvent* event) {
    // Only DoTerminate ends the program; the question runs after this handler.
    event->ignore();
    if (!m_terminating)
        QTimer::singleShot(0, this, [this] { Guarded([this] { mniExitClick(); }); });
}

// ---- server notifications -------------------------------------------------

void TfrmMainContainer::DoWirelessStatusChange() {
    m_panels[1]->setText(Text(m_app.StatusText()));
    m_devicesWaiting = -1; // the panel's text is new: say the waiting devices again
    UpdateWaitingDevices();
    if (TfrmClientList* monitor = ClientList())
        monitor->ServerStatusChanged();
    // The start-up timer and the views switch the server too, not only the menu.
    UpdateServerItems();
    UpdateTitle();
    DoFlashTrayIcon();
}

void TfrmMainContainer::DoWirelessClientAddDrop() {
    UpdateWaitingDevices();
    UpdateClientCount();
    UpdateServerItems();
    if (TfrmClientList* monitor = ClientList())
        monitor->DoWirelessClientAddDrop();
}

// The change event goes to the monitor when it is shown; otherwise the ended
// connections are freed here, so that they never pile up behind another view.
void TfrmMainContainer::WirelessChange() {
    UpdateWaitingDevices();
    if (TfrmClientList* monitor = ClientList()) {
        monitor->WirelessChange();
        return;
    }
    if (auto* viewer = qobject_cast<TfrmODBCData*>(CurrentViewWindow()))
        viewer->WirelessChange();
    else if (auto* devices = qobject_cast<TfrmDevices*>(CurrentViewWindow()))
        devices->WirelessChange();
    UpdateClientCount();
    UpdateServerItems();
}

QString TfrmMainContainer::WaitingDevicesText() const {
    const int waiting = m_app.Snapshot().DevicesWaiting;
    if (waiting <= 0)
        return {};
    return waiting == 1 ? QStringLiteral("1 device waiting for approval")
                        : QStringLiteral("%1 devices waiting for approval").arg(waiting);
}

// No modal box: the operator may be away. The tray flashes while devices
// wait and its tip says how many; without a tray the status bar says it.
void TfrmMainContainer::UpdateWaitingDevices() {
    const int waiting = m_app.Snapshot().DevicesWaiting;
    if (waiting == m_devicesWaiting)
        return;
    const bool more = waiting > m_devicesWaiting && m_devicesWaiting >= 0;
    m_devicesWaiting = waiting;
    QString status = Text(m_app.StatusText());
    if (waiting > 0 && !TrayAvailable())
        status += QStringLiteral(" - ") + WaitingDevicesText();
    m_panels[1]->setText(status);
    if (waiting > 0 && !m_waitingBlink->isActive())
        m_waitingBlink->start();
    else if (waiting == 0)
        m_waitingBlink->stop();
    if (more)
        DoFlashTrayIcon();
    else
        DoUpdateTrayIcon();
}

// Called on whatever thread logs (the server's, mostly): the file line is
// written there, the monitor's pane is filled on the GUI thread.
void TfrmMainContainer::LogMessage(const std::string& text) {
    try {
        m_fileSink(text);
        const QString time = Text(FormatLogTime(LogEventTime()));
        const QString line = Text(text);
        auto append = [this, time, line] {
            if (TfrmClientList* monitor = ClientList())
                monitor->AppendLogText(line, time);
        };
        if (QThread::currentThread() == thread())
            append();
        else
            m_app.Poster().Post(append);
    } catch (...) {
        // A sink never raises into the code that logs.
    }
}

// ---- timers and tray ------------------------------------------------------

void TfrmMainContainer::timerStartupTimer() {
    timerStartup->stop();
    m_app.EnableServer();
}

void TfrmMainContainer::timerTrayIconTimer() {
    TimerTrayIcon->stop();
    DoUpdateTrayIcon();
}

void TfrmMainContainer::DoFlashTrayIcon() {
    // A flash that is running keeps its own end.
    if (!TimerTrayIcon->isActive()) {
        TimerTrayIcon->setInterval(kFlashMs);
        TimerTrayIcon->start();
    }
    DoUpdateTrayIcon();
}

void TfrmMainContainer::DoUpdateTrayIcon() {
    if (!m_trayLoaded) {
        m_trayIcons[TrayDisabled] = DrawTrayIcon(TTrayPicture::Disabled);
        m_trayIcons[TrayEnabled1] = DrawTrayIcon(TTrayPicture::Enabled);
        m_trayIcons[TrayEnabled2] = DrawTrayIcon(TTrayPicture::EnabledActive);
        m_trayLoaded = true;
    }
    const bool enabled = m_app.IsEnabled();
    const TrayImage image = !enabled ? TrayDisabled : TimerTrayIcon->isActive() ? TrayEnabled2 : TrayEnabled1;
    if (image != m_trayImage || m_tray->icon().isNull()) {
        m_trayImage = image;
        m_tray->setIcon(m_trayIcons[image]);
    }
    // A device waiting for approval is what the operator must see first.
    const QString waiting = WaitingDevicesText();
    const QString tip =
        !waiting.isEmpty()
            ? waiting.left(kTipLength)
            : (AppTitle() + (enabled ? QStringLiteral(" (Enabled)") : QStringLiteral(" (Disabled)")))
                  .left(kTipLength);
    if (m_tray->toolTip() != tip)
        m_tray->setToolTip(tip);
    // Flashes come with the handhelds' traffic: the item changes only with the state.
    if (m_trayItemEnabled != enabled) {
        m_trayItemEnabled = enabled;
        mniTrayEnabled->setText(enabled ? QStringLiteral("&Disable Server")
                                        : QStringLiteral("&Enable Server"));
        mniTrayEnabled->setIcon(enabled ? ThemeIcon("media-playback-stop", QStyle::SP_MediaStop)
                                        : ThemeIcon("media-playback-start", QStyle::SP_MediaPlay));
    }
    if (TrayAvailable() && !m_terminating && !m_tray->isVisible())
        m_tray->show();
    UpdateTitle();
}

// ---- minimise to the tray and back ----------------------------------------

void TfrmMainContainer::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && !m_hiddenToTray && TrayAvailable())
        QTimer::singleShot(0, this, [this] { Guarded([this] { DoMinimize(); }); });
}

// Hides the window into the tray; without a tray the window only minimises,
// so that it can always be reached again.
void TfrmMainContainer::DoMinimize() {
    if (!TrayAvailable() || m_terminating)
        return;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    ShowView(vwNone);
    hide();
    m_hiddenToTray = true;
    m_trayWatch->start();
}

void TfrmMainContainer::CheckTrayStillThere() {
    if (!m_hiddenToTray) {
        m_trayWatch->stop();
        return;
    }
    if (!TrayAvailable())
        mniTrayRestoreClick();
}

void TfrmMainContainer::mniTrayRestoreClick() {
    m_trayWatch->stop();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    updateMenu();
    m_hiddenToTray = false;
    ShowView(m_lastView);
}

// ---- placement ------------------------------------------------------------

void TfrmMainContainer::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    Guarded([this] {
        m_hiddenToTray = false;
        loadWindowSettings();
        ShowView(vwClientList);
        updateMenu();
    });
}

void TfrmMainContainer::loadWindowSettings() {
    TIniFile* ini = m_prefs ? m_prefs->GetIniFile() : nullptr;
    if (!ini)
        throw Exception("Error[10011]: Invalid configuration file.  Cannot continue!");
    const int top = ini->ReadInteger(kWindowSection, "top", 36);
    const int left = ini->ReadInteger(kWindowSection, "left", 43);
    const int height = ini->ReadInteger(kWindowSection, "height", 560);
    const int width = ini->ReadInteger(kWindowSection, "width", 775);
    QList<QRect> screens;
    for (QScreen* screen : QGuiApplication::screens())
        screens.append(screen->availableGeometry());
    const QRect placed = ClampToScreens(QRect(left, top, width, height), screens);
    move(placed.topLeft());
    resize(placed.size());
    m_placementLoaded = true;
}

void TfrmMainContainer::saveWindowSettings() {
    TIniFile* ini = m_prefs ? m_prefs->GetIniFile() : nullptr;
    if (!ini)
        throw Exception("Error[10010]: Invalid configuration file.  Cannot continue!");
    // A window that never opened (stopped during the splash) has no placement
    // of its own: the operator's saved one stays.
    if (!m_placementLoaded)
        return;
    // A maximized or minimised window keeps the placement it returns to.
    const bool normal = !(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen));
    const QRect frame = normal ? QRect(pos(), size()) : normalGeometry();
    TIniFile::TBatch batch;
    batch.WriteInteger(kWindowSection, "top", frame.top());
    batch.WriteInteger(kWindowSection, "left", frame.left());
    batch.WriteInteger(kWindowSection, "height", frame.height());
    batch.WriteInteger(kWindowSection, "width", frame.width());
    ini->WriteBatch(batch);
}
