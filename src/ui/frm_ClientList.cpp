#include "ui/frm_ClientList.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QShowEvent>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QUrl>
#include <algorithm>
#include <unordered_set>
#include <vector>

#include "app/ServerControl.h"
#include "base/DeviceRegistry.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/UserRegistry.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/Zel_JobRunner.h"
#include "ui/DeviceActions.h"
#include "ui/DrawnImages.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"
#include "ui/ThemeIcons.h"
#include "ui_frm_ClientList.h"

namespace {

constexpr int kDataLightsIntervalMs = 90;
constexpr int kClientGridUpdateIntervalMs = 350;
constexpr int kMaxLightPulses = 8;
constexpr int kWaitingRole = Qt::UserRole + 7;
const char* const kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* const kAutoStartValue = "Zel Wireless Server";

enum Column { colUsername, colClient, colSession, colTransactions, colConnected, colLastMsg, colCount };

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// A row of the client list: the client's Id, kept sorted by the first
// column; rows with the same text stay in connect order.
class TClientRow : public QTreeWidgetItem {
public:
    explicit TClientRow(uint64_t id) : QTreeWidgetItem(UserType), Id(id) {}
    const uint64_t Id;

    bool operator<(const QTreeWidgetItem& other) const override {
        const int order = QString::localeAwareCompare(text(colUsername), other.text(colUsername));
        if (order != 0)
            return order < 0;
        return Id < static_cast<const TClientRow&>(other).Id;
    }
};

uint64_t RowId(const QTreeWidgetItem* row) {
    return row && row->type() == QTreeWidgetItem::UserType ? static_cast<const TClientRow*>(row)->Id : 0;
}

// Report-style grid lines between the cells.
class TGridLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

// The tool-bar and menu pictures, by their index in the design's image
// list: a theme icon where the desktop has one, a standard one otherwise.
QIcon ToolbarImage(const QWidget* widget, int index) {
    struct Image {
        int index;
        const char* theme;
        QStyle::StandardPixmap fallback;
    };
    static const Image kImages[] = {
        {0, "network-wireless", QStyle::SP_MediaPlay},
        {1, "network-offline", QStyle::SP_MediaStop},
        {2, "process-stop", QStyle::SP_DialogCancelButton},
        {3, "edit-clear-all", QStyle::SP_DialogDiscardButton},
        {4, "text-x-generic", QStyle::SP_FileDialogDetailedView},
        {5, "application-exit", QStyle::SP_DialogCloseButton},
        {6, "utilities-system-monitor", QStyle::SP_FileDialogInfoView},
        {8, "web-browser", QStyle::SP_DriveNetIcon},
        {9, "x-office-spreadsheet", QStyle::SP_FileDialogListView},
        {12, "preferences-system", QStyle::SP_FileDialogContentsView},
        {13, "preferences-other", QStyle::SP_DirIcon},
    };
    for (const Image& image : kImages)
        if (image.index == index)
            return QIcon::fromTheme(QString::fromLatin1(image.theme),
                                    widget->style()->standardIcon(image.fallback));
    return {};
}

void SetImage(QAction* action, const QWidget* widget, int index) {
    action->setIcon(ToolbarImage(widget, index));
    action->setProperty("imageIndex", index);
}

void SetHint(QAction* action, const QString& hint) {
    action->setToolTip(hint);
    action->setStatusTip(hint);
}

// A date-time as the monitor shows it; empty for a time never set.
std::string TimeText(const QDateTime& time) {
    return time.isValid() ? FormatLogTime(time) : std::string();
}

std::string SessionText(const TClientSnapshot& client) {
    return "#" + std::to_string(client.SessionNumber) + ": " + client.SessionName;
}

bool SessionConnected(const TClientSnapshot& client) {
    return client.SessionConnected;
}

std::string CountsText(int32_t out, int32_t in) {
    return std::to_string(out) + "o/" + std::to_string(in) + "i";
}

} // namespace

TfrmClientList::TfrmClientList(TServerControl& app, QWidget* parent)
    : QWidget(parent), m_app(app), ui(std::make_unique<Ui::TfrmClientList>()) {
    if (!g_PrefsMgr)
        throw Exception("TfrmMain.FormCreate: g_PrefsMgr is not assigned, cannot continue");
    ui->setupUi(this);

    // Members, destroyed before this object; as children they can be found by name.
    timerDataLights.setParent(this);
    timerClientGridUpdate.setParent(this);
    m_refreshTimer.setParent(this);
    timerDataLights.setObjectName(QStringLiteral("timerDataLights"));
    timerDataLights.setInterval(kDataLightsIntervalMs);
    timerDataLights.setSingleShot(true);
    connect(&timerDataLights, &QTimer::timeout, this,
            [this] { Guarded([this] { timerDataLightsTimer(); }); });
    timerClientGridUpdate.setObjectName(QStringLiteral("timerClientGridUpdate"));
    timerClientGridUpdate.setInterval(kClientGridUpdateIntervalMs);
    timerClientGridUpdate.setSingleShot(true);
    connect(&timerClientGridUpdate, &QTimer::timeout, this,
            [this] { Guarded([this] { timerClientGridUpdateTimer(); }); });
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] { Guarded([this] { RefreshClientList(); }); });

    SetupActions();
    SetupDeviceMenu();
    SetupClientColumns();
    SetupDataLights();
    ShowDataLight(0);

    auto* splitter = ui->splMainDetail;
    splitter->handle(1)->setObjectName(QStringLiteral("splClientDetail"));
    splitter->handle(2)->setObjectName(QStringLiteral("splitHorizontal"));
    splitter->handle(2)->setToolTip(QStringLiteral("Hide/Show Log Messages"));
    splitter->setCollapsible(2, true);
    splitter->setSizes({200, 302, 117});
    connect(splitter, &QSplitter::splitterMoved, this,
            [this] { Guarded([this] { splitHorizontalMoved(); }); });

    ui->mmoLogMessages->setMaximumBlockCount(kMaxLogLines);
    ui->mmoLogMessages->installEventFilter(this);
    MakeDetailPagesScroll();
    NameForAssistiveTechnology();
    ui->tabPagesControl->setCurrentIndex(0);
    connect(ui->lstClientList, &QTreeWidget::itemSelectionChanged, this,
            [this] { Guarded([this] { lstClientListSelectItem(); }); });
    initializeDetailMonitor(nullptr);
}

TfrmClientList::~TfrmClientList() = default;

// The list's context menu: the decisions about the selected handheld's device.
void TfrmClientList::SetupDeviceMenu() {
    m_deviceMenu = new QMenu(this);
    m_deviceMenu->setObjectName(QStringLiteral("mnuDevice"));
    for (const TDeviceActions::TActionItem& item : TDeviceActions::kActions) {
        QAction* action = m_deviceMenu->addAction(QString::fromLatin1(item.Label));
        action->setObjectName(QStringLiteral("mniDevice") + QString::fromLatin1(item.Name));
        connect(action, &QAction::triggered, this,
                [this, which = item.Action] { Guarded([this, which] { DeviceMenuAction(which); }); });
    }
    ui->lstClientList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->lstClientList, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        Guarded([this, at] {
            if (!ui->lstClientList->selectedItems().isEmpty())
                m_deviceMenu->popup(ui->lstClientList->viewport()->mapToGlobal(at));
        });
    });
}

void TfrmClientList::DeviceMenuAction(TDeviceActions::TAction action) {
    const QList<QTreeWidgetItem*> selected = ui->lstClientList->selectedItems();
    const TServerSnapshot& snapshot = m_app.Snapshot();
    const TClientSnapshot* client =
        selected.isEmpty() ? nullptr : snapshot.FindClient(RowId(selected.front()));
    if (!client || !snapshot.Devices)
        return;
    if (!m_deviceJobs)
        m_deviceJobs = std::make_unique<TZel_JobRunner>();
    TDeviceActions::Decide(this, m_app, *m_deviceJobs, snapshot.Devices,
                           DeviceKey(client->SerialNumber, client->UserName, client->Model), action);
}

void TfrmClientList::SetupActions() {
    auto on = [this](QAction* action, auto handler) {
        connect(action, &QAction::triggered, this,
                [this, handler] { Guarded([this, handler] { handler(this); }); });
    };

    SetImage(ui->actEnableDisableServer, this, 1);
    SetImage(ui->actDisconnectOneClient, this, 2);
    SetImage(ui->actDisconnectAllClients, this, 3);
    SetImage(ui->actViewLogWindow, this, 4);
    SetImage(ui->actViewDetailMonitor, this, 6);
    SetImage(ui->actViewDatabase, this, 9);
    SetImage(ui->actExit, this, 5);
    SetImage(ui->mniFileExit, this, 5);
    SetImage(ui->mniServerDisconnectOne, this, 2);
    SetImage(ui->mniServerDisconnectAll, this, 3);
    SetImage(ui->mniToolsApplicationSettings, this, 12);
    SetImage(ui->mniToolsSessionSettings, this, 13);
    SetImage(ui->mniToolsSessionDatabaseView, this, 9);
    SetImage(ui->mniHelpWebsite, this, 8);

    // The separator before the hidden exit action goes with it.
    const QList<QAction*> items = ui->atbActionToolBar->actions();
    for (int i = static_cast<int>(items.size()) - 1; i >= 0; --i)
        if (items[i]->isSeparator()) {
            items[i]->setVisible(false);
            break;
        }

    QAction* logMenu = ui->mniViewLog->menuAction();
    logMenu->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    logMenu->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    SetHint(logMenu, QStringLiteral("Hide/Show Log"));

    // Shortcuts work wherever the focus is inside the view.
    addActions(findChildren<QAction*>());
    addAction(logMenu);
    // Exit, enable and disconnect-all do what the main window's items do, and
    // those own the keys everywhere in the window: here the keys are only
    // shown in the menu (their context is the menu), so no key is ambiguous.
    for (QAction* shared : {ui->mniFileExit, ui->mniServerEnabled, ui->mniServerDisconnectAll})
        removeAction(shared);

    auto enable = [](TfrmClientList* self) {
        emit self->enabledToggleRequested();
        self->UpdateMenuChecks();
    };
    on(ui->actEnableDisableServer, enable);
    on(ui->mniServerEnabled, enable);
    on(ui->actDisconnectOneClient, [](TfrmClientList* self) { self->mniServerDisconnectOneClick(); });
    on(ui->mniServerDisconnectOne, [](TfrmClientList* self) { self->mniServerDisconnectOneClick(); });
    on(ui->actDisconnectAllClients, [](TfrmClientList* self) { emit self->disconnectAllRequested(); });
    on(ui->mniServerDisconnectAll, [](TfrmClientList* self) { emit self->disconnectAllRequested(); });
    on(ui->actViewLogWindow, [](TfrmClientList* self) { self->mniViewLog_ShowClick(); });
    on(ui->mniViewLog_Show, [](TfrmClientList* self) { self->mniViewLog_ShowClick(); });
    on(logMenu, [](TfrmClientList* self) { self->mniViewLog_ShowClick(); });
    on(ui->actViewDetailMonitor, [](TfrmClientList* self) { self->mniViewDetailMonitorClick(); });
    on(ui->mniViewDetailMonitor, [](TfrmClientList* self) { self->mniViewDetailMonitorClick(); });
    on(ui->mniViewToolbar, [](TfrmClientList* self) { self->mniViewToolbarClick(); });
    on(ui->mniViewLog_WordWrap, [](TfrmClientList* self) { self->mniViewLog_WordWrapClick(); });
    on(ui->mniViewLog_Clear, [](TfrmClientList* self) { self->ui->mmoLogMessages->clear(); });
    on(ui->mniViewLog_OpenTextFile, [](TfrmClientList* self) { self->mniViewLog_OpenTextFileClick(); });
    on(ui->mniToolsVerbose, [](TfrmClientList* self) { self->mniToolsVerboseClick(); });
    on(ui->mniFileAutoStart, [](TfrmClientList* self) {
        emit self->autoStartToggleRequested();
        self->UpdateMenuChecks();
    });
    // These may end this view: nothing after the signal touches it.
    on(ui->actExit, [](TfrmClientList* self) { emit self->exitRequested(); });
    on(ui->mniFileExit, [](TfrmClientList* self) { emit self->exitRequested(); });
    on(ui->actViewDatabase, [](TfrmClientList* self) { emit self->showViewRequested(4); });
    on(ui->mniToolsApplicationSettings, [](TfrmClientList* self) { emit self->showViewRequested(2); });
    on(ui->mniToolsSessionSettings, [](TfrmClientList* self) { emit self->showViewRequested(3); });
    on(ui->mniToolsSessionDatabaseView, [](TfrmClientList* self) { emit self->showViewRequested(4); });
    on(ui->mniHelpWebsite, [](TfrmClientList* self) { emit self->websiteRequested(); });
    on(ui->mniHelpAbout, [](TfrmClientList* self) { emit self->aboutRequested(); });
}

void TfrmClientList::SetupClientColumns() {
    struct ColumnDef {
        const char* caption;
        int width;
        Qt::Alignment alignment;
    };
    static const ColumnDef kColumns[colCount] = {
        {"Username", 105, Qt::AlignLeft},  {"Client", 90, Qt::AlignRight},
        {"Session", 90, Qt::AlignLeft},    {"Transactions", 50, Qt::AlignRight},
        {"Connected", 90, Qt::AlignRight}, {"Last Msg", 90, Qt::AlignRight},
    };
    QTreeWidget* list = ui->lstClientList;
    list->clear();
    m_rows.clear();
    list->setColumnCount(colCount);
    auto* header = new QTreeWidgetItem();
    for (int i = 0; i < colCount; ++i) {
        header->setText(i, QString::fromLatin1(kColumns[i].caption));
        header->setTextAlignment(i, kColumns[i].alignment | Qt::AlignVCenter);
    }
    list->setHeaderItem(header);
    // The design's widths, widened where this font would cut a caption or a time.
    const QFontMetrics metrics(list->font());
    const int timeWidth = metrics.horizontalAdvance(QStringLiteral("Mmm-00 00:00:00")) + 12;
    for (int i = 0; i < colCount; ++i) {
        int width = std::max(kColumns[i].width, metrics.horizontalAdvance(header->text(i)) + 16);
        if (i == colConnected || i == colLastMsg)
            width = std::max(width, timeWidth);
        list->setColumnWidth(i, width);
    }
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsClickable(false);
    list->setSortingEnabled(false);
    list->setItemDelegate(new TGridLineDelegate(list));
}

void TfrmClientList::SetupDataLights() {
    QLabel* images[] = {ui->imgDataOff, ui->imgDataOn1, ui->imgDataOn2, ui->imgDataOn3, ui->imgDataOn4};
    for (int level = 0; level < 5; ++level)
        images[level]->setPixmap(DrawDataLight(level, devicePixelRatioF()));
}

// A detail page that is higher or wider than the pane the splitter leaves it
// scrolls, rather than cutting its labels off (a small window, a scaled screen).
void TfrmClientList::MakeDetailPagesScroll() {
    QTabWidget* tabs = ui->tabPagesControl;
    for (QWidget* page : {ui->tabServerDetail, ui->tabClientDetail}) {
        const int index = tabs->indexOf(page);
        const QString title = tabs->tabText(index);
        tabs->removeTab(index);
        auto* scroll = new QScrollArea;
        scroll->setObjectName(page->objectName() + QStringLiteral("Scroll"));
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidget(page);
        tabs->insertTab(index, scroll, title);
    }
}

// Each value label is labelled by its caption, so that a screen reader says
// "Name: Zel Wireless Server" rather than a bare value; the lists and the
// meter have names of their own.
void TfrmClientList::NameForAssistiveTechnology() {
    const QString suffix = QStringLiteral("Caption");
    for (QLabel* caption : findChildren<QLabel*>()) {
        if (!caption->objectName().endsWith(suffix))
            continue;
        const QString valueName = caption->objectName().chopped(suffix.size());
        if (auto* value = findChild<QLabel*>(valueName)) {
            caption->setBuddy(value);
            value->setAccessibleDescription(caption->text().remove(QLatin1Char(':')));
        }
    }
    ui->lblStatusCaption->setBuddy(ui->pnlDetailAreaBottom);
    ui->pnlDetailAreaBottom->setAccessibleName(ui->lblStatusCaption->text().remove(QLatin1Char(':')));
    ui->lstClientList->setAccessibleName(QStringLiteral("Connected clients"));
    ui->mmoLogMessages->setAccessibleName(QStringLiteral("Log messages"));
    ui->tabPagesControl->setAccessibleName(QStringLiteral("Detail monitor"));
    ui->atbActionToolBar->setAccessibleName(QStringLiteral("Client list tools"));
    for (QLabel* light : {ui->imgDataOff, ui->imgDataOn1, ui->imgDataOn2, ui->imgDataOn3, ui->imgDataOn4})
        light->setAccessibleName(QStringLiteral("Activity"));
}

// The meter is drawn for the screen it is on; a move to a screen of another
// scale draws it again.
bool TfrmClientList::event(QEvent* event) {
    if (event->type() == QEvent::ScreenChangeInternal)
        SetupDataLights();
    return QWidget::event(event);
}

void TfrmClientList::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    SetupDataLights();
    Guarded([this] {
        ui->pnlDetailMonitor->setVisible(true);
        UpdateMenuChecks();
        UpdateDisconnectItems();
        RefreshDetailMonitor();
        RefreshClientList();
        // The meter matches the server state at once.
        timerDataLightsTimer();
    });
}

// Delete in the log pane clears it, unless "Disconnect Client" can take the key.
bool TfrmClientList::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->mmoLogMessages && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        Guarded([this] {
            if (ui->mniServerDisconnectOne->isEnabled())
                ui->mniServerDisconnectOne->trigger();
            else
                ui->mmoLogMessages->clear();
        });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool TfrmClientList::ServerEnabled() const {
    return m_app.IsEnabled();
}

bool TfrmClientList::DetailMonitorVisible() const {
    return !ui->pnlDetailMonitor->isHidden();
}

void TfrmClientList::WirelessChange() {
    DoWirelessStatusChange(true);
}

void TfrmClientList::ServerStatusChanged() {
    DoWirelessStatusChange(false);
}

void TfrmClientList::DoWirelessStatusChange(bool throttled) {
    // A handheld's change touches only what follows the server state; the
    // other menu states (the autostart entry is read from disk) follow the
    // operator's actions.
    if (throttled)
        UpdateEnabledChecks(false);
    else
        UpdateMenuChecks();
    if (throttled)
        ScheduleRefresh();
    else
        RefreshClientList();
    if (ServerEnabled())
        PulseDataLights();
}

// The first change after a quiet spell rebuilds at once; the ones that follow
// within the interval are absorbed into one rebuild at its end.
void TfrmClientList::ScheduleRefresh() {
    if (m_refreshTimer.isActive())
        return;
    const qint64 elapsed = m_lastRefresh.isValid() ? m_lastRefresh.elapsed() : kRefreshIntervalMs;
    if (elapsed >= kRefreshIntervalMs) {
        RefreshClientList();
        return;
    }
    m_refreshTimer.start(static_cast<int>(kRefreshIntervalMs - elapsed));
}

void TfrmClientList::DoWirelessClientAddDrop() {
    // Hundreds of handhelds may arrive at once: the rebuild is throttled too;
    // it selects the first handheld in an empty list.
    ScheduleRefresh();
    emit trayFlashRequested();
    PulseDataLights();
}

void TfrmClientList::RefreshClientList() {
    m_refreshTimer.stop();
    m_lastRefresh.start();
    QTreeWidget* list = ui->lstClientList;
    const TServerSnapshot& server = m_app.Snapshot();
    bool added = false;
    {
        const QSignalBlocker quiet(list);
        std::unordered_set<uint64_t> listed;
        for (const TClientSnapshot& client : server.Clients)
            listed.insert(client.Id);
        for (auto it = m_rows.begin(); it != m_rows.end();) {
            if (listed.count(it->first) == 0) {
                delete it->second;
                it = m_rows.erase(it);
            } else {
                ++it;
            }
        }
        for (const TClientSnapshot& client : server.Clients) {
            auto row = m_rows.find(client.Id);
            if (row == m_rows.end()) {
                AddClientRow(client);
                added = true;
            } else {
                WriteRow(row->second, client);
            }
        }
        SortRows();
        // The first handheld to arrive in an empty list is selected.
        if (added && list->topLevelItemCount() == 1) {
            list->setCurrentItem(list->topLevelItem(0));
            list->topLevelItem(0)->setSelected(true);
        }
    }
    const size_t count = server.Clients.size();
    emit clientCountChanged(QStringLiteral("Connected clients: ") + QString::number(count));
    UpdateDisconnectItems();
    RefreshDetailMonitor();
}

QTreeWidgetItem* TfrmClientList::AddClientRow(const TClientSnapshot& client) {
    auto* row = new TClientRow(client.Id);
    for (int i = colClient; i < colCount; ++i)
        row->setTextAlignment(i, (i == colSession ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
    ui->lstClientList->insertTopLevelItem(0, row);
    m_rows.emplace(client.Id, row);
    WriteRow(row, client);
    return row;
}

void TfrmClientList::UpdateClientRow(const TClientSnapshot* client) {
    // Reached from timers: such messages are queued, never modal.
    if (!client) {
        TMessageBox::Post(QStringLiteral("TfrmMain.UpdateClientRow: invalid client pointer"),
                          QMessageBox::NoIcon);
        return;
    }
    const auto row = m_rows.find(client->Id);
    if (row == m_rows.end()) {
        TMessageBox::Post(QStringLiteral("TfrmMain.UpdateClientRow: client not found in list"),
                          QMessageBox::NoIcon);
        return;
    }
    WriteRow(row->second, *client);
}

void TfrmClientList::WriteRow(QTreeWidgetItem* row, const TClientSnapshot& client) {
    // A device waiting for the operator's approval stands out at once.
    const bool waiting = client.WaitingForApproval;
    if (row->data(colUsername, kWaitingRole).toBool() != waiting || row->icon(colUsername).isNull()) {
        row->setData(colUsername, kWaitingRole, waiting);
        row->setIcon(colUsername, waiting ? ThemeIcon("dialog-warning", QStyle::SP_MessageBoxWarning)
                                          : style()->standardIcon(QStyle::SP_ComputerIcon));
        row->setToolTip(colUsername, waiting ? QStringLiteral("Waiting for approval") : QString());
    }
    auto timeColumn = [](const QDateTime& time) {
        return time.isValid() ? Text(FormatLogTime(time)) : QStringLiteral("   --   ");
    };
    const QString texts[colCount] = {
        Text(client.UserName),
        Text(client.Address),
        SessionConnected(client) ? Text(SessionText(client)) : QStringLiteral("n/a"),
        QString::number(client.MessagesOut),
        timeColumn(client.ConnectTime),
        timeColumn(client.LastMessageTime),
    };
    for (int i = 0; i < colCount; ++i)
        if (row->text(i) != texts[i])
            row->setText(i, texts[i]);
}

void TfrmClientList::SortRows() {
    ui->lstClientList->sortItems(colUsername, Qt::AscendingOrder);
}

void TfrmClientList::DoWirelessClientChange() {
    // Enabling a running timer would restart its interval.
    if (!timerClientGridUpdate.isActive())
        timerClientGridUpdate.start();
}

void TfrmClientList::timerClientGridUpdateTimer() {
    timerClientGridUpdate.stop();
    bool unlisted = false;
    for (const TClientSnapshot& client : m_app.Snapshot().Clients) {
        // A client that arrived since the last rebuild gets its row there.
        if (m_rows.count(client.Id) == 0) {
            unlisted = true;
            continue;
        }
        UpdateClientRow(&client);
    }
    SortRows();
    if (unlisted)
        ScheduleRefresh();
    RefreshDetailMonitor();
    emit trayFlashRequested();
    PulseDataLights();
}

void TfrmClientList::PulseDataLights() {
    LightStep = 1;
    // Owed pulses are capped: under heavy traffic the meter would otherwise
    // stay at full for minutes after the traffic has stopped.
    LightPulses = std::min(LightPulses + 1, kMaxLightPulses);
    if (!timerDataLights.isActive())
        timerDataLights.start();
}

void TfrmClientList::timerDataLightsTimer() {
    timerDataLights.stop();
    if (LightStep != 0 || LightPulses > 0) {
        LightLevel += LightStep;
        if (LightLevel >= 4) {
            if (LightPulses > 0) {
                --LightPulses;
                LightLevel = 4;
            } else {
                LightStep = -1;
                LightPulses = 0;
                LightLevel = 4;
            }
        }
        timerDataLights.start();
    }
    if (ServerEnabled()) {
        if (LightLevel < 1) {
            LightLevel = 1;
            LightStep = 0;
        }
    } else {
        LightLevel = 0;
        LightStep = 0;
        LightPulses = 0;
    }
    ShowDataLight(LightLevel);
}

void TfrmClientList::ShowDataLight(int level) {
    QLabel* images[] = {ui->imgDataOff, ui->imgDataOn1, ui->imgDataOn2, ui->imgDataOn3, ui->imgDataOn4};
    for (QLabel* image : images)
        image->setVisible(false);
    if (level >= 0 && level <= 4)
        images[level]->setVisible(true);
}

// What follows the server state, set only when that state changed (or when forced).
void TfrmClientList::UpdateEnabledChecks(bool force) {
    const bool enabled = ServerEnabled();
    if (!force && m_checksEnabled == enabled)
        return;
    m_checksEnabled = enabled;
    SetImage(ui->actEnableDisableServer, this, enabled ? 0 : 1);
    ui->actEnableDisableServer->setChecked(enabled);
    ui->mniServerEnabled->setChecked(enabled);
    SetHint(ui->mniServerEnabled,
            enabled ? QStringLiteral("Server Enabled") : QStringLiteral("Server Disabled"));
}

void TfrmClientList::UpdateMenuChecks() {
    if (g_PrefsMgr && g_PrefsMgr->Diagnostics)
        ui->mniToolsVerbose->setVisible(true);
    UpdateEnabledChecks(true);

    const bool logShown = !ui->pnlLogMessages->isHidden();
    ui->mniViewLog_Show->setChecked(logShown);
    ui->actViewLogWindow->setChecked(logShown);
    ui->mniViewDetailMonitor->setChecked(DetailMonitorVisible());
    ui->actViewDetailMonitor->setChecked(DetailMonitorVisible());
    ui->mniViewToolbar->setChecked(!ui->pnlTopToolbar->isHidden());
    ui->mniToolsVerbose->setChecked(GetVerbose());
    ui->mniViewLog_WordWrap->setChecked(ui->mmoLogMessages->lineWrapMode() != QPlainTextEdit::NoWrap);

    const std::string expected = "\"" + Platform::ExecutablePath() + "\"";
    ui->mniFileAutoStart->setChecked(ReadUserRegString(kRunKey, kAutoStartValue) == expected);
}

void TfrmClientList::UpdateDisconnectItems() {
    ui->mniServerDisconnectOne->setEnabled(!ui->lstClientList->selectedItems().isEmpty());
    ui->mniServerDisconnectAll->setEnabled(ui->lstClientList->topLevelItemCount() > 0);
}

void TfrmClientList::RefreshDetailMonitor() {
    if (!DetailMonitorVisible())
        return;
    const QList<QTreeWidgetItem*> selected = ui->lstClientList->selectedItems();
    const TClientSnapshot* client = nullptr;
    if (selected.size() == 1)
        client = m_app.Snapshot().FindClient(RowId(selected.front()));
    initializeDetailMonitor(client);
}

void TfrmClientList::initializeDetailMonitor(const TClientSnapshot* client) {
    auto show = [](QLabel* label, const std::string& text) {
        label->setText(text.empty() ? QStringLiteral("--") : Text(text));
    };
    QLabel* sessionLabels[] = {ui->lblSession, ui->lblPlugin, ui->lblDatabase, ui->lblDatabaseTable};
    QLabel* clientLabels[] = {ui->lblClientTitle,     ui->lblName,         ui->lblDescription,
                              ui->lblUsername,        ui->lblSerialNumber, ui->lblModel,
                              ui->lblOperatingSystem, ui->lblSoftware,     ui->lblSWVersion,
                              ui->lblMessages,        ui->lblBytes,        ui->lblConnectTime,
                              ui->lblLastMessage};
    if (client) {
        show(ui->lblClientTitle, client->Title);
        show(ui->lblName, client->Address);
        show(ui->lblDescription, client->Description);
        show(ui->lblUsername, client->UserName);
        show(ui->lblSerialNumber, client->SerialNumber);
        show(ui->lblModel, client->Model);
        show(ui->lblOperatingSystem, client->OperatingSystem);
        show(ui->lblSoftware, client->Software);
        show(ui->lblSWVersion, client->SWVersion);
        show(ui->lblMessages, CountsText(client->MessagesOut, client->MessagesIn));
        show(ui->lblBytes, CountsText(client->BytesOut, client->BytesIn));
        show(ui->lblConnectTime, TimeText(client->ConnectTime));
        show(ui->lblLastMessage, TimeText(client->LastMessageTime));
        if (SessionConnected(*client)) {
            show(ui->lblSession, SessionText(*client));
            show(ui->lblPlugin, client->PluginName.empty()
                                    ? std::string()
                                    : client->PluginName + " ver. " + client->PluginVersion);
            show(ui->lblDatabase, client->DSN);
            show(ui->lblDatabaseTable, client->Tablename);
        } else {
            for (QLabel* label : sessionLabels)
                show(label, {});
        }
    } else {
        for (QLabel* label : clientLabels)
            show(label, {});
        for (QLabel* label : sessionLabels)
            show(label, {});
    }
    SetDetailAreaRole(client != nullptr);
    FillServerMonitor();
}

void TfrmClientList::SetDetailAreaRole(bool withClient) {
    const QPalette::ColorRole role = withClient ? QPalette::Base : QPalette::Button;
    for (QWidget* panel :
         {static_cast<QWidget*>(ui->pnlDetailAreaTop), static_cast<QWidget*>(ui->pnlDetailAreaTopRight),
          static_cast<QWidget*>(ui->pnlDetailAreaBottom),
          static_cast<QWidget*>(ui->pnlDetailAreaBottomRight)})
        panel->setBackgroundRole(role);
}

void TfrmClientList::FillServerMonitor() {
    auto show = [](QLabel* label, const std::string& text) {
        label->setText(text.empty() ? QStringLiteral("--") : Text(text));
    };
    const TServerSnapshot& server = m_app.Snapshot();
    if (!server.Exists) {
        for (QLabel* label : {ui->lblServerName, ui->lblServerVersion, ui->lblServerPort,
                              ui->lblServerConfigFile, ui->lblServerLogFile, ui->lblServerStartTime,
                              ui->lblServerTotalBytes, ui->lblServerTotalClients})
            show(label, {});
        return;
    }
    show(ui->lblServerName, server.ServerName);
    show(ui->lblServerVersion, GetVersionInfoString("FileVersion"));
    show(ui->lblServerPort, std::to_string(server.Port));
    show(ui->lblServerConfigFile, server.IniFilename);
    show(ui->lblServerLogFile, g_PrefsMgr ? g_PrefsMgr->LogFilename : std::string());
    show(ui->lblServerStartTime, TimeText(server.StartTime));
    show(ui->lblServerTotalBytes, CountsText(server.BytesSent, server.BytesReceived));
    show(ui->lblServerTotalClients, std::to_string(server.Clients.size()));
}

void TfrmClientList::AppendLogText(const QString& text, const QString& time) {
    if (ui->mmoLogMessages->isEnabled())
        ui->mmoLogMessages->appendPlainText((time.isEmpty() ? Text(FormatLogTimeNow()) : time) +
                                            QStringLiteral("  ") + text);
}

void TfrmClientList::AddLogLine(const QString& text) {
    const QString line = Text(FormatLogTimeNow()) + QStringLiteral(": ") + text;
    if (ui->mmoLogMessages->isEnabled())
        ui->mmoLogMessages->appendPlainText(line);
    if (g_PrefsMgr && !g_PrefsMgr->LogFilename.empty())
        AppendToFile(g_PrefsMgr->LogFilename, line.toStdString(), false);
}

void TfrmClientList::mniServerDisconnectOneClick() {
    const QList<QTreeWidgetItem*> selected = ui->lstClientList->selectedItems();
    if (selected.isEmpty()) {
        TMessageBox::Ask(this, QStringLiteral("No Client Selected."), QMessageBox::Ok, QMessageBox::Ok,
                         QMessageBox::Question);
        return;
    }
    std::vector<uint64_t> ids;
    for (const QTreeWidgetItem* row : selected)
        ids.push_back(RowId(row));
    try {
        for (uint64_t id : ids) {
            // The server may have freed it since the last rebuild.
            if (!m_app.Disconnect(id))
                throw Exception("Invalid client selected, no data");
        }
    } catch (const std::exception& error) {
        TMessageBox::Show(this,
                          QStringLiteral("Error disconnecting client: ") + Text(ExceptionClassName(error)) +
                              QStringLiteral(": ") + Text(error.what()),
                          QMessageBox::NoIcon);
    }
}

void TfrmClientList::mniViewDetailMonitorClick() {
    QSplitterHandle* splClientDetail = ui->splMainDetail->handle(1);
    if (DetailMonitorVisible()) {
        splClientDetail->setVisible(false);
        ui->pnlDetailMonitor->setVisible(false);
    } else {
        ui->pnlDetailMonitor->setVisible(true);
        splClientDetail->setVisible(true);
        DoWirelessClientChange();
        RefreshDetailMonitor();
    }
    UpdateMenuChecks();
}

void TfrmClientList::mniViewLog_ShowClick() {
    const bool show = ui->pnlLogMessages->isHidden();
    ui->pnlLogMessages->setVisible(show);
    ui->splMainDetail->handle(2)->setVisible(show);
    UpdateMenuChecks();
}

void TfrmClientList::mniViewLog_WordWrapClick() {
    QPlainTextEdit* memo = ui->mmoLogMessages;
    const bool wrap = memo->lineWrapMode() == QPlainTextEdit::NoWrap;
    memo->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    memo->setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
    UpdateMenuChecks();
}

void TfrmClientList::mniViewToolbarClick() {
    ui->pnlTopToolbar->setVisible(ui->pnlTopToolbar->isHidden());
    UpdateMenuChecks();
}

void TfrmClientList::mniToolsVerboseClick() {
    SetVerbose(!GetVerbose());
    if (g_PrefsMgr)
        m_app.Call([](TZelApplication&) { g_PrefsMgr->WriteSettings(); });
    AddLogLine(GetVerbose() ? QStringLiteral("Verbose logging enabled")
                            : QStringLiteral("Verbose logging disabled"));
    UpdateMenuChecks();
}

void TfrmClientList::mniViewLog_OpenTextFileClick() {
    if (g_PrefsMgr)
        QDesktopServices::openUrl(QUrl::fromLocalFile(Text(g_PrefsMgr->LogFilename)));
}

// A log pane dragged nearly shut leaves a raised handle to pull it back by.
void TfrmClientList::splitHorizontalMoved() {
    QSplitterHandle* handle = ui->splMainDetail->handle(2);
    const bool bevelled = ui->pnlLogMessages->height() < 5;
    if (handle->property("bevelled").toBool() != bevelled) {
        handle->setProperty("bevelled", bevelled);
        handle->setStyleSheet(
            bevelled ? QStringLiteral("QSplitterHandle { border: 2px outset palette(mid); }") : QString());
    }
}

void TfrmClientList::lstClientListSelectItem() {
    UpdateDisconnectItems();
    RefreshDetailMonitor();
}
