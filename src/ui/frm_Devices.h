#pragma once

#include <QDateTime>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "data/Zel_JobRunner.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class TDeviceRegistry;
struct TDeviceRecord;
class TServerControl;

// The device registry for the operator: every device that has logged in,
// its state and last decision, with the decisions to take about the
// selected one and the window for accepting new devices. The registry is
// read and changed on a worker of the view's own; the list is read again
// when the server's snapshot says the registry changed (the server notices
// the command line's changes to the file).
class TfrmDevices : public QWidget {
    Q_OBJECT
public:
    enum Column {
        colSerial,
        colUser,
        colModel,
        colOS,
        colState,
        colSessions,
        colFirstSeen,
        colLastSeen,
        colAddress,
        colDecision,
        colCount
    };

    explicit TfrmDevices(TServerControl& app, QWidget* parent = nullptr);
    ~TfrmDevices() override;

    // Follows the server's latest snapshot: reads the list again when the
    // registry has changed since it was read.
    void WirelessChange();
    // Reads the list again.
    void RefreshDevices();
    // A read or a decision is under way.
    bool Busy() const { return m_jobs.Busy(); }
    // The key of the selected device, empty when none is.
    std::string SelectedKey() const;
    bool SelectDevice(const std::string& key);

    QTreeWidget* DeviceList() const { return m_list; }

private:
    struct TDeviceList;
    void ShowList(const TDeviceList& list);
    void ApplyFilter();
    void UpdateButtons();
    void UpdateAcceptText();
    void AcceptNewClicked(bool open);

    TServerControl& m_app;
    TZel_JobRunner m_jobs;
    std::shared_ptr<TDeviceRegistry> m_registry; // the snapshot's
    // What the list shows: of which registry, and its generation then.
    const TDeviceRegistry* m_shownRegistry = nullptr;
    uint64_t m_shownGeneration = 0;
    bool m_reading = false;
    bool m_readAgain = false;
    QDateTime m_acceptNewUntil;
    QTimer m_acceptEnds; // the text changes when the window for new devices closes

    QLineEdit* m_filter = nullptr;
    QTreeWidget* m_list = nullptr;
    QPushButton* m_buttons[5] = {};
    QSpinBox* m_minutes = nullptr;
    QPushButton* m_accept = nullptr;
    QPushButton* m_stopAccept = nullptr;
    QLabel* m_acceptText = nullptr;
    QLabel* m_countText = nullptr;
};
