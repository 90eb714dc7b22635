#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "ui/DeviceActions.h"

class QMenu;
class QTreeWidgetItem;
class TZel_JobRunner;
class TServerControl;
struct TClientSnapshot;

namespace Ui {
class TfrmClientList;
}

// The operator's live view of the server: the connected handhelds, a detail
// monitor of the server and of one client, the log lines written while it is
// open and an activity meter. Its list refresh is also where clients whose
// connection has ended are freed.
//
// Rows hold a client's Id, never its address: the server frees clients on
// its own (a re-login of the same device, re-enabling), and a row must not
// outlive its client.
class TfrmClientList : public QWidget {
    Q_OBJECT
public:
    explicit TfrmClientList(TServerControl& app, QWidget* parent = nullptr);
    ~TfrmClientList() override;

    // The main window routes each WM_WIRELESS_CHANGE here while this view is
    // current. The list rebuild it asks for is throttled.
    void WirelessChange();
    // Rebuilds the list at once and frees the clients whose connection has ended.
    void RefreshClientList();
    // One log pane line: time "mmm-dd hh:nn:ss", two blanks, the text.
    // time: as the log file has it; empty for now.
    void AppendLogText(const QString& text, const QString& time = QString());
    // After each enable or disable of the server.
    void ServerStatusChanged();
    // A client has been added to the server's list.
    void DoWirelessClientAddDrop();

    // One step of the activity meter (the timer's handler; run once on show).
    void timerDataLightsTimer();

    // The log pane keeps at most this many lines; the oldest go first.
    static constexpr int kMaxLogLines = 5000;
    // A burst of change notifications costs at most one rebuild per interval.
    static constexpr int kRefreshIntervalMs = 200;

signals:
    void showViewRequested(int view);
    void exitRequested();
    void enabledToggleRequested();
    void disconnectAllRequested();
    void autoStartToggleRequested();
    void clientCountChanged(const QString& panelText);
    // The help items: the main window owns the web address and the about box.
    void websiteRequested();
    void aboutRequested();
    // Client activity worth a flash of the tray icon.
    void trayFlashRequested();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetupActions();
    void SetupDeviceMenu();
    void DeviceMenuAction(TDeviceActions::TAction action);
    void SetupClientColumns();
    void SetupDataLights();
    void MakeDetailPagesScroll();
    void NameForAssistiveTechnology();
    void ShowDataLight(int level);
    void PulseDataLights();

    void DoWirelessStatusChange(bool throttled);
    void ScheduleRefresh();
    void DoWirelessClientChange();
    void timerClientGridUpdateTimer();

    QTreeWidgetItem* AddClientRow(const TClientSnapshot& client);
    void UpdateClientRow(const TClientSnapshot* client);
    void WriteRow(QTreeWidgetItem* row, const TClientSnapshot& client);
    void SortRows();
    void UpdateMenuChecks();
    void UpdateEnabledChecks(bool force);
    void UpdateDisconnectItems();
    void RefreshDetailMonitor();
    void initializeDetailMonitor(const TClientSnapshot* client);
    void FillServerMonitor();
    void SetDetailAreaRole(bool withClient);

    void AddLogLine(const QString& text);
    void mniServerDisconnectOneClick();
    void mniViewDetailMonitorClick();
    void mniViewLog_ShowClick();
    void mniViewLog_WordWrapClick();
    void mniViewToolbarClick();
    void mniToolsVerboseClick();
    void mniViewLog_OpenTextFileClick();
    void splitHorizontalMoved();
    void lstClientListSelectItem();

    bool ServerEnabled() const;
    bool DetailMonitorVisible() const;

    TServerControl& m_app;
    std::unique_ptr<Ui::TfrmClientList> ui;

    int LightLevel = 0;
    int LightStep = 0;
    int LightPulses = 0;
    QTimer timerDataLights;
    QTimer timerClientGridUpdate;
    QTimer m_refreshTimer;
    QElapsedTimer m_lastRefresh;

    std::unordered_map<uint64_t, QTreeWidgetItem*> m_rows;
    // The selected handheld's device decisions (the Devices view's, at hand).
    QMenu* m_deviceMenu = nullptr;
    std::unique_ptr<TZel_JobRunner> m_deviceJobs; // made at the first decision
    std::optional<bool> m_checksEnabled;          // the server state the enable items show
};
