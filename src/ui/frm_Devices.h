#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class TDeviceRegistry;
class TServerControl;

// The device registry for the operator: every device that has logged in,
// its state and last decision, with the decisions to take about the
// selected one and the window for accepting new devices. It reads the
// registry's in-memory copy and follows its changes, the command line's
// included.
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

    // Reads the registry again when it has changed.
    void RefreshDevices(bool force = false);
    // The key of the selected device, empty when none is.
    std::string SelectedKey() const;
    bool SelectDevice(const std::string& key);

    QTreeWidget* DeviceList() const { return m_list; }

private:
    void ApplyFilter();
    void UpdateButtons();
    void UpdateAcceptText();
    void AcceptNewClicked(bool open);

    TServerControl& m_app;
    std::shared_ptr<TDeviceRegistry> m_registry;
    uint64_t m_generation = 0;
    bool m_loaded = false;

    QLineEdit* m_filter = nullptr;
    QTreeWidget* m_list = nullptr;
    QPushButton* m_buttons[5] = {};
    QSpinBox* m_minutes = nullptr;
    QPushButton* m_accept = nullptr;
    QPushButton* m_stopAccept = nullptr;
    QLabel* m_acceptText = nullptr;
    QLabel* m_countText = nullptr;
    QTimer m_poll;
};
