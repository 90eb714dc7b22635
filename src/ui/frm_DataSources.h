#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "data/Zel_JobRunner.h"

#include "data/odbc/OdbcUserDataSources.h"

namespace Ui {
class TfrmDataSources;
} // namespace Ui
class TBusyPanel;

// Lists the installed ODBC drivers and the current user's data sources, and
// creates, edits, tests and removes SQLite3 and PostgreSQL data sources, so
// that nobody has to edit ~/.odbc.ini by hand. Modal: exec() it, then read
// SavedDataSource().
class TfrmDataSources : public QDialog {
    Q_OBJECT

public:
    explicit TfrmDataSources(QWidget* parent = nullptr);
    ~TfrmDataSources() override;

    // Opens the user data source of that name for editing, or starts a new
    // one with that name when there is none.
    void SelectDataSource(const QString& name);
    // The data source saved last while the dialog was open; empty when none.
    QString SavedDataSource() const { return m_saved; }
    // The data source in the editor (saved or not).
    QString CurrentDataSource() const;

    // Editor actions, as the buttons run them; false when refused or failed
    // (the operator has been told why).
    bool Save();
    bool RemoveCurrent();
    // Tries the values in the editor on a worker (the dialog stays live; after
    // a moment it says so and offers Cancel); the message shown when the
    // answer comes is the database's own.
    void TestConnection();
    bool IsTesting() const { return m_probe->Busy(); }
    // Drops the test under way; the attempt ends within its login timeout, unseen.
    void CancelTest();
    // Whether the last test that was answered connected.
    bool LastTestSucceeded() const { return m_lastTestSucceeded; }
    void NewDataSource();

signals:
    // A data source was created or changed under this name.
    void DataSourceSaved(const QString& name);
    // A data source was created, changed or removed.
    void DataSourcesChanged();

protected:
    // Closing with unsaved edits asks whether to save them.
    void done(int result) override;

private:
    void FillDrivers();
    void FillDataSources(const QString& select);
    void LoadDataSource(const QString& name);
    void ShowDriverPage();
    TOdbcDataSourceDef EditedDefinition() const;
    TOdbcDriverKind EditedKind() const;
    // Unsaved edits: asks to save them; false when the operator stays.
    bool ResolveUnsavedEdits();
    void SetModified(bool modified);
    void BrowseDatabaseFile();
    void CurrentItemChanged();
    void NewProbe();

    std::unique_ptr<Ui::TfrmDataSources> ui;
    QString m_editing; // the stored data source in the editor; empty for a new one
    QString m_saved;
    bool m_modified = false;
    bool m_loading = false;
    bool m_lastTestSucceeded = false;
    TBusyPanel* m_testingPanel = nullptr;
    // Last member: goes first, so no answer reaches a half-destroyed dialog.
    std::unique_ptr<TZel_JobRunner> m_probe;
};
