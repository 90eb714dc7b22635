#pragma once

#include <QWidget>

class TZelApplication;

// The client monitor: connected handhelds, the detail monitor, the log pane
// and the activity meter. The main window shows it as view 1.
class TfrmClientList : public QWidget {
    Q_OBJECT
public:
    explicit TfrmClientList(TZelApplication& app, QWidget* parent = nullptr);
    ~TfrmClientList() override;

    // Each WM_WIRELESS_CHANGE while this view is current.
    void WirelessChange();
    // The list refresh; it also frees clients whose connection has ended.
    void RefreshClientList();
    // One log text while this view is current.
    void AppendLogText(const QString& text);
    // After each server status change (enable/disable).
    void ServerStatusChanged();

signals:
    void showViewRequested(int view);
    void exitRequested();
    void enabledToggleRequested();
    void disconnectAllRequested();
    void autoStartToggleRequested();
    void clientCountChanged(const QString& panelText);

private:
    TZelApplication& m_app;
};
