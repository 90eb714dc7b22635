#pragma once

#include "base/Exception.h"
#include "data/Zel_JobRunner.h"

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class TBusyPanel;
class QLabel;
class QPushButton;
class TIniFile;
class TZel_ODBCSession;
class TZel_TableBrowser;
class TZel_TableModel;

namespace Ui {
class TfrmODBCData;
}

// Raised when the viewer's session cannot connect or open its table.
class EZel_DBConnectionError : public Exception {
public:
    explicit EZel_DBConnectionError(const std::string& message) : Exception(message) {}
    const char* ClassName() const override { return "EZel_DBConnectionError"; }
};

// The data viewer: browses and edits the table of any enabled session in a
// grid, with a prompted filter, column widths and font size kept in
// "DataGridSettings" and each session's last filter in "Filter%d". It uses
// session objects of its own, never those of the connected handhelds.
// Database errors of its actions are shown in its error pane.
//
// Its database work runs on a worker of its own, one job after the other
// (TZel_JobRunner): after a moment without an answer a busy cursor and
// "Loading..." with a Cancel button show, and the view stays usable.
class TfrmODBCData : public QWidget {
    Q_OBJECT
public:
    static constexpr int MinFontSize = 2;
    static constexpr int MaxFontSize = 48;
    static constexpr int DefaultFontSize = 8;
    static constexpr int DefaultColumnWidth = 64;
    // At most one refresh per interval on change notifications; the last one always runs.
    static constexpr int RefreshIntervalMs = 500;

    explicit TfrmODBCData(QWidget* parent = nullptr);
    ~TfrmODBCData() override;

    TIniFile* IniFile = nullptr; // not owned
    int NumberOfSessions = 32;
    int NumberOfFields = 30; // handed over by the main window; not used here

    void InitializeForm();
    // A handheld's exchange may have changed the table: refresh, throttled.
    void WirelessChange();

    // Widths after "Widen columns" and "Shrink columns".
    static int WidenedWidth(int width);
    static int ShrunkWidth(int width);

    // Session numbers behind the entries of the session box, in list order.
    const std::vector<int>& SessionNumbers() const { return m_sessionNumbers; }
    int CurrentSession() const { return m_currentSession; }
    const QString& CurrentFilter() const { return m_currentFilter; }
    TZel_ODBCSession* DataSession() const { return m_dataSession.get(); }
    // Whether database work of the view is under way.
    bool IsBusy() const { return m_jobs.Busy(); }
    // Drops the work under way: the view shows what it had, a pending row
    // keeps its changes, and the error pane says so.
    void CancelWork();
    // Before the view goes (or the program saves or ends) while work is
    // under way: asks the operator whether to wait for it (a local loop, the
    // window stays live) or cancel it. Returns at once when idle.
    void FinishWork();
    TZel_TableModel* Model() const { return m_model; }
    int RefreshCount() const { return m_refreshCount; }

    // Empty text hides the error pane; any other text is shown there.
    void ShowErrorText(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs body; a database error is shown in the error pane, any other
    // failure goes to the application's handler.
    void Handle(const std::function<void()>& body);
    void ShowError(const std::exception& error);

    void populatecmbSessions();
    void cmbSessionsChange(int index);
    // Connects and opens the table on the worker; then runs after the answer.
    void populateGridWithTableData(std::function<void()> then = {});
    void Reconnect();
    // After a refresh or a reconnect: the filter button, the count, and a refresh asked for meanwhile.
    void FinishRefresh();
    void BusyChanged(bool busy);
    void RefreshRowCount();
    void loadGridSettings();
    void saveGridSettings();
    // Applies the filter, then shows it; failed (else the error pane) gets a
    // filter the table refused.
    void _updateFormForFilteredStatus(bool on, const QString& text,
                                      std::function<void(const std::exception& error)> failed = {});
    void removeFilter();
    void actFilterExecute();
    void btnRemoveFilterClick();
    void btnEditFilterClick();
    void actRefreshExecute();
    // Opens the filter prompt; true with the composed text after OK.
    bool PromptForFilter(QString& text);

    void MoveCurrent(int rowStep, int columnStep);
    void CommitEditor();
    void actEditExecute();
    void actInsertExecute();
    void actPostExecute();
    void actDeleteExecute();
    void ResizeColumns(int (*resize)(int));
    void SetFontSize(int size);
    void SetIcons();
    // Ctrl+F: the filter prompt, for a new filter or to change the one on.
    void actFindFilterExecute();
    // The row numbers (and the mark of the row being edited) fit beside the rows.
    void FitRowHeader();
    // Back to the cell whose text its column refused, so that it is put right.
    void ShowRejected();
    // True (with the error shown) while a cell holds text its column refused.
    bool RefusedValueWaits();
    // The grid's contents in a scroll area: what the view's frame cannot hold scrolls.
    void PutInScrollArea();

    std::unique_ptr<Ui::TfrmODBCData> ui;
    QLabel* m_panels[3] = {nullptr, nullptr, nullptr};
    TZel_TableModel* m_model = nullptr;
    std::vector<int> m_sessionNumbers;
    int m_currentSession = 0;
    QString m_currentFilter;
    bool m_filtered = false;
    // Used by the worker's jobs; released there too.
    std::shared_ptr<TZel_ODBCSession> m_dataSession;
    std::shared_ptr<TZel_TableBrowser> m_browser;
    TBusyPanel* m_busyPanel = nullptr;
    bool m_refreshing = false;
    bool m_refreshAgain = false;
    QTimer m_refreshTimer;
    QElapsedTimer m_sinceRefresh;
    int m_refreshCount = 0;
    bool m_closed = false;
    bool m_placingNewRow = false;
    // Widths of the columns before the rows were read anew (a reset of the
    // grid's model would give every column the default width).
    std::vector<int> m_columnWidths;
    // Last member: goes first, so no job's answer reaches a half-destroyed view.
    TZel_JobRunner m_jobs;
};
