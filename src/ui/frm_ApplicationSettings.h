#pragma once

#include <QWidget>
#include <memory>

class QComboBox;
class QGroupBox;
class QLineEdit;

class TServerControl;
struct TServerSnapshot;

namespace Ui {
class TfrmApplicationSettings;
}

// The application settings view: the server's identity, address, port and
// disabled message, the log file and (in diagnostics mode) verbose logging.
// It edits the running server and the preferences and commits only on Apply,
// or through the question on closing. A new view is made for every visit and
// loads the current values when it is first shown.
class TfrmApplicationSettings : public QWidget {
    Q_OBJECT

public:
    explicit TfrmApplicationSettings(TServerControl& app, QWidget* parent = nullptr);
    ~TfrmApplicationSettings() override;

    // Some control changed since the values were loaded or last applied.
    bool Modified() const { return m_modified; }
    // The address or port changed, or the port's "Use Default" was pressed,
    // since the values were loaded or last applied.
    bool NetworkChanged() const { return m_networkChanged; }

    // Commits the controls; false when a value was refused (nothing is
    // changed or written then) or the network values could not be applied.
    bool Apply();

protected:
    void showEvent(QShowEvent* event) override;
    // Asks whether to apply changes; refuses the close when the operator
    // wanted them applied and Apply refused a value, so nothing is lost.
    void closeEvent(QCloseEvent* event) override;

private:
    void MakeFormScroll();
    QGroupBox* MakeAccessGroup();
    // Checks the network lists of device access; shows why when one is refused.
    bool ValidateAccess();
    void NameForAssistiveTechnology();
    void FormShow();
    void LoadControls();
    bool ApplyControls(bool& listening);
    void MarkModified();
    void MarkNetworkChanged();
    void SetModified(bool modified);
    // Checks the port and address texts; shows why when one is refused.
    bool ValidateNetwork();
    void UseDefaultPort();
    void BrowseLogfile();
    void ViewLogfile();
    void ClearLogfile();
    const TServerSnapshot& Server() const;

    std::unique_ptr<Ui::TfrmApplicationSettings> ui;
    TServerControl& m_app;
    bool m_modified = false;
    // The device access controls changed: [Access] is written at the next
    // Apply (a file without the section keeps its upgrade default until then).
    bool m_accessChanged = false;
    QComboBox* cboNewDevices = nullptr;
    QLineEdit* editTrustedNetworks = nullptr;
    QLineEdit* editAllowedNetworks = nullptr;
    bool m_networkChanged = false;
    bool m_loaded = false;
};
