#pragma once

#include <QDialog>
#include <QString>

#include <memory>
#include <string>

class TIniFile;
class TZel_ODBCSession;

namespace Ui {
class TfrmFilterPrompt;
}

// The modal prompt that composes a row filter "[field] op'value'" for the
// data viewer from a field of the session's table, an operator and a value,
// and keeps the last ten filters in a configuration file section.
class TfrmFilterPrompt : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxRecentFilters = 10;

    explicit TfrmFilterPrompt(QWidget* parent = nullptr);
    ~TfrmFilterPrompt() override;

    TZel_ODBCSession* Session = nullptr; // not owned
    TIniFile* IniFile = nullptr;         // not owned
    std::string HistorySection;
    QString CaptionText = QStringLiteral("Select filter");

    // Remembers the session (and its configuration file and name for the
    // caption); nullptr forgets it.
    void SetSession(TZel_ODBCSession* session);
    QString GetFilterText() const;

    // "[field] " + op + the value in single quotes with quotes doubled.
    static QString ComposeFilterText(const QString& field, const QString& op, const QString& value);

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void ComposeFilter();
    void btnOKClick();
    void btnClearClick();
    void btnClearHistoryClick();

private:
    void LoadHistory();
    void LoadFieldNames();
    void LoadOperators();
    void SaveHistory();

    std::unique_ptr<Ui::TfrmFilterPrompt> ui;
};
