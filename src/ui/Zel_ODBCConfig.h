#pragma once

#include "data/SessionDefinition.h"

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TBusyPanel;
class TZel_JobRunner;

class QStyledItemDelegate;
class TIniFile;
class TZel_ODBCSession;

namespace Ui {
class TfrmODBCConfig;
}

// The session wizard: lists the sessions, edits one at a time (name, enabled
// flag, data source, credentials, table, key field, the mapping of device
// fields to table columns and the update and transfer options) and saves it
// as its section of the configuration file.
//
// The data source and the table are connected and opened when a choice is
// made or the editing of the box finishes, never on each keystroke, and on a
// worker of the wizard's own: the window stays live, says after a moment
// that it is waiting and offers Cancel. Each connect uses a session object of
// its own, which becomes the wizard's once the answer is in, so that the
// window never reads an object a worker is changing.
class TfrmODBCConfig : public QWidget {
    Q_OBJECT
public:
    explicit TfrmODBCConfig(QWidget* parent = nullptr);
    ~TfrmODBCConfig() override;

    TIniFile* IniFile = nullptr; // not owned
    bool ShowKeyField = true;
    bool ShowUpdateOptions = false;
    bool ShowTransferOptions = false;
    int NumberOfSessions = 32;
    int NumberOfFields = 30; // at most 30

    // Applies the settings above and loads session 1.
    void InitializeForm();
    // False when the save on closing failed: the window stays open.
    bool CloseAllowed() const { return m_closeAllowed; }
    // A save was attempted by Apply or on closing.
    bool SettingsSaved() const { return m_settingsSaved; }
    int CurrentSession() const { return m_currentSession; }
    bool Modified() const { return m_modified; }

    // Validates and, when valid, writes the current session; false when it
    // was not written (the reason has been shown).
    bool SaveSettings();
    bool ValidateSettings();

    // Whether a connect or an open is under way.
    bool IsBusy() const;
    // Drops the work under way; the wizard keeps what it had.
    void CancelWork();
    // Before a save, a close or the program's end while work is under way:
    // wait for it or cancel it, as the operator answers.
    void FinishWork();

    // The data-source editor behind "Data Sources..."; afterwards the list of
    // data sources is read again.
    void OpenDataSourcesDialog();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setModified();
    void populateSessionList();
    void populateDSNList();
    void doChangeCurrentSession(int sessionNumber);
    void showWorkingCopy();
    void replaceSessionObject();
    void doSwitchStep();
    void showPageInstructions(int page);

    // chosen: picked from the list (always applied); otherwise the editing
    // finished, and only a changed text is applied.
    void cmbDSNChange(bool chosen);
    void cmbTableChange(bool chosen);
    void cmbTableClick();
    void populateTableList();
    void populatecmbPCFields();

    void populateGridWithDeviceFields();
    void populateGridWithPCFields();
    void clearGridOfPCFields();
    void clearGridOfDeviceFields();
    void gridFieldsSelectCell(int row, int column);
    // Text typed into the open field chooser becomes the cell's.
    void commitMappingEditor();
    // Moves the focus out of the grid, to the next (or previous) control.
    void leaveGrid(bool forward);
    void actMoveUpExecute();
    void actMoveDownExecute();
    void actInsertMapExecute();
    void actRemoveMapExecute();
    QString pcCell(int row) const;
    void setPCCell(int row, const QString& text);

    void rdoUpdateClick();
    void showUpdateType();
    void readUpdateType();
    void populateLstWithPCFields();
    void btnAddIndexClick();
    void btnRemoveAsIndexClick();
    void buildIndexString();
    void rdoToPDANoFilterClick();
    void rdoFromPDANoFilterClick();
    void populatecmbFilterPDAFields();
    void showFilterType(int type, int group);

    void btnApplyClick();
    bool writeINIFile();
    void checkSessionName();

    // Runs a data-source step; on failure shows what happened, headed by
    // headline when one is given. False on failure.
    template <class Step> bool dataSourceStep(const QString& headline, Step&& step);

    // Connects a session made from the working copy on the worker, then
    // (as asked) lists the tables and opens the table; the answer replaces
    // the session object, and then runs. An answer overtaken by a later
    // request is dropped.
    struct TOpenRequest {
        bool ListTables = false;
        bool OpenTable = false;
        QString OpenHeadline; // heads a failure to open the table
    };
    void ConnectInBackground(const TOpenRequest& request,
                             std::function<void(bool opened, const std::vector<std::string>& tables)> then);
    // A fresh, unconnected session object for the working copy.
    void NewSessionObject();
    // Releases a session object on the worker (its connection closes there).
    void Dispose(std::shared_ptr<TZel_ODBCSession> session);
    // Waits in a local loop (the window live, Cancel usable) for the work under way.
    void WaitForWork();
    void BusyChanged(bool busy);

    std::unique_ptr<Ui::TfrmODBCConfig> ui;
    std::shared_ptr<TZel_ODBCSession> m_session;
    TSessionDefinition
        m_work; // the working copy; the mapping lives in the grid, the index fields in their list
    std::string m_committedDsn;   // the data source the session object last received
    std::string m_committedTable; // the table it last received
    int m_currentSession = 0;
    bool m_modified = false;
    bool m_closeAllowed = true;
    bool m_settingsSaved = false;
    bool m_keepSavedMapping = false;
    uint64_t m_openGeneration = 0;
    QStringList m_pcFieldChoices; // what the field chooser of the mapping grid offers
    QStyledItemDelegate* m_pcFieldDelegate = nullptr;
    TBusyPanel* m_busyPanel = nullptr;
    // Last member: goes first, so no answer reaches a half-destroyed wizard.
    std::unique_ptr<TZel_JobRunner> m_jobs;
};
