#include "ui/frm_FilterPrompt.h"
#include "ui_frm_FilterPrompt.h"

#include "base/IniFile.h"
#include "base/Zel_Lib.h"
#include "data/Zel_Filter.h"
#include "data/Zel_ODBCSession.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"

#include <QSignalBlocker>

#include <algorithm>

TfrmFilterPrompt::TfrmFilterPrompt(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmFilterPrompt>()) {
    ui->setupUi(this);
    ui->cmbOperator->setEditText(QStringLiteral("="));
    connect(ui->cmbPCFields, &QComboBox::editTextChanged, this,
            [this] { Guarded([this] { ComposeFilter(); }); });
    connect(ui->cmbOperator, &QComboBox::editTextChanged, this,
            [this] { Guarded([this] { ComposeFilter(); }); });
    connect(ui->txtValue, &QLineEdit::textChanged, this, [this] { Guarded([this] { ComposeFilter(); }); });
    connect(ui->btnOK, &QPushButton::clicked, this, [this] { Guarded([this] { btnOKClick(); }); });
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnClear, &QPushButton::clicked, this, [this] { Guarded([this] { btnClearClick(); }); });
    connect(ui->btnClearHistory, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnClearHistoryClick(); }); });
    // ComposeFilter ran for the initial operator: the prompt starts empty.
    ui->cmbCurrentFilter->setEditText(QString());
    ui->txtValue->setFocus();
    setFixedSize(sizeHint());
}

TfrmFilterPrompt::~TfrmFilterPrompt() = default;

void TfrmFilterPrompt::SetSession(TZel_ODBCSession* session) {
    Session = session;
    if (session && session->IniFile) {
        IniFile = session->IniFile;
        CaptionText = QStringLiteral("Select Filter for: ") + QString::fromStdString(session->SessionName);
    }
}

QString TfrmFilterPrompt::GetFilterText() const {
    return ui->cmbCurrentFilter->currentText();
}

QString TfrmFilterPrompt::ComposeFilterText(const QString& field, const QString& op, const QString& value) {
    return QString::fromStdString(FilterFieldRef(field.toStdString())) + QLatin1Char(' ') + op +
           QString::fromStdString(FilterQuotedLiteral(value.toStdString()));
}

void TfrmFilterPrompt::showEvent(QShowEvent* event) {
    Guarded([this] {
        setWindowTitle(CaptionText);
        LoadHistory();
        LoadFieldNames();
        LoadOperators();
    });
    QDialog::showEvent(event);
}

void TfrmFilterPrompt::LoadHistory() {
    const QString text = ui->cmbCurrentFilter->currentText();
    ui->cmbCurrentFilter->clear();
    if (IniFile) {
        const int count = IniFile->ReadInteger(HistorySection, "RecentCount", 0);
        for (int i = 0; i < count; ++i)
            ui->cmbCurrentFilter->addItem(QString::fromStdString(
                IniFile->ReadString(HistorySection, "Recent" + std::to_string(i), "")));
    }
    ui->cmbCurrentFilter->setEditText(text);
}

// Filling the lists keeps the texts shown and composes nothing.
void TfrmFilterPrompt::LoadFieldNames() {
    const QSignalBlocker blocker(ui->cmbPCFields);
    const QString text = ui->cmbPCFields->currentText();
    ui->cmbPCFields->clear();
    if (Session)
        for (const std::string& name : Session->GetFieldNames())
            ui->cmbPCFields->addItem(QString::fromStdString(name));
    ui->cmbPCFields->setEditText(text);
}

void TfrmFilterPrompt::LoadOperators() {
    const QSignalBlocker blocker(ui->cmbOperator);
    const QString text = ui->cmbOperator->currentText();
    ui->cmbOperator->clear();
    for (const char* op : {"(none)", "=", "<=", ">=", "<", ">"})
        ui->cmbOperator->addItem(QString::fromLatin1(op));
    ui->cmbOperator->setEditText(text);
}

void TfrmFilterPrompt::ComposeFilter() {
    ui->cmbCurrentFilter->setEditText(ComposeFilterText(
        ui->cmbPCFields->currentText(), ui->cmbOperator->currentText(), ui->txtValue->text()));
}

void TfrmFilterPrompt::SaveHistory() {
    const QString current = ui->cmbCurrentFilter->currentText();
    if (current.isEmpty() || !IniFile)
        return;
    try {
        std::vector<std::string> entries;
        for (int i = 0; i < ui->cmbCurrentFilter->count(); ++i)
            entries.push_back(ui->cmbCurrentFilter->itemText(i).toStdString());
        IniFile->EraseSection(HistorySection);
        const int count = std::min(static_cast<int>(entries.size()) + 1, MaxRecentFilters);
        IniFile->WriteInteger(HistorySection, "RecentCount", count);
        IniFile->WriteString(HistorySection, "Recent0", current.toStdString());
        for (int i = 1; i < count; ++i)
            IniFile->WriteString(HistorySection, "Recent" + std::to_string(i),
                                 entries[static_cast<size_t>(i - 1)]);
    } catch (const std::exception& error) {
        TMessageBox::Show(this, QStringLiteral("Unknown Error: ") + QString::fromStdString(error.what()),
                          QMessageBox::Warning);
    }
}

void TfrmFilterPrompt::btnOKClick() {
    SaveHistory();
    accept();
}

void TfrmFilterPrompt::btnClearClick() {
    ui->cmbPCFields->setEditText(QString());
    ui->txtValue->clear();
    ui->cmbOperator->setEditText(QString());
    ui->cmbCurrentFilter->setEditText(QString());
}

void TfrmFilterPrompt::btnClearHistoryClick() {
    const QString text = ui->cmbCurrentFilter->currentText();
    ui->cmbCurrentFilter->clear();
    ui->cmbCurrentFilter->setEditText(text);
    if (IniFile)
        IniFile->EraseSection(HistorySection);
}
