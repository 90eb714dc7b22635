#include "ui/frm_DataSources.h"

#include "ui_frm_DataSources.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

#include "base/Zel_Lib.h"
#include "data/odbc/OdbcConnectionProbe.h"
#include "ui/AccessibleNames.h"
#include "ui/BusyPanel.h"
#include "ui/MessageBox.h"
#include "ui/ShownCall.h"

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.trimmed().toStdString();
}

int PageOf(TOdbcDriverKind kind) {
    switch (kind) {
    case TOdbcDriverKind::SQLite:
        return 0;
    case TOdbcDriverKind::PostgreSQL:
        return 1;
    case TOdbcDriverKind::Other:
        break;
    }
    return 2;
}

// A new data source starts on PostgreSQL's Unicode driver where one is
// installed: it takes every character the database holds.
int DefaultDriver(const QComboBox* drivers) {
    for (int i = 0; i < drivers->count(); ++i)
        if (static_cast<TOdbcDriverKind>(drivers->itemData(i).toInt()) == TOdbcDriverKind::PostgreSQL &&
            drivers->itemText(i).contains(QStringLiteral("Unicode"), Qt::CaseInsensitive))
            return i;
    return drivers->count() > 0 ? 0 : -1;
}

} // namespace

TfrmDataSources::TfrmDataSources(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmDataSources>()) {
    ui->setupUi(this);
    // "..." needs no more room than its dots: the file box takes the rest of the row.
    ui->cmdBrowse->setFixedWidth(
        std::max(ui->cmdBrowse->sizeHint().height(),
                 ui->cmdBrowse->fontMetrics().horizontalAdvance(ui->cmdBrowse->text()) +
                     2 * style()->pixelMetric(QStyle::PM_ButtonMargin)));
    ui->cmdBrowse->setAccessibleName(QStringLiteral("Choose the database file"));
    NameInputsAfterLabels(this);

    for (QLineEdit* edit : {ui->editName, ui->editDescription, ui->editDatabaseFile, ui->editServer,
                            ui->editPort, ui->editDatabase, ui->editUserName})
        connect(edit, &QLineEdit::textChanged, this, [this] { SetModified(true); });
    connect(ui->cmbDriver, &QComboBox::currentIndexChanged, this, [this] {
        ShowDriverPage();
        SetModified(true);
    });
    connect(ui->lstDataSources, &QListWidget::currentItemChanged, this,
            [this] { ShownCall(this, [this] { CurrentItemChanged(); }); });
    connect(ui->cmdNew, &QPushButton::clicked, this, [this] {
        ShownCall(this, [this] {
            if (ResolveUnsavedEdits())
                NewDataSource();
        });
    });
    connect(ui->cmdRemove, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { RemoveCurrent(); }); });
    connect(ui->cmdSave, &QPushButton::clicked, this, [this] { ShownCall(this, [this] { Save(); }); });
    connect(ui->cmdTest, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { TestConnection(); }); });
    connect(ui->cmdBrowse, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { BrowseDatabaseFile(); }); });
    connect(ui->cmdClose, &QPushButton::clicked, this, &QDialog::accept);

    m_testingPanel = new TBusyPanel(QStringLiteral("Testing connection..."), this, [this] { CancelTest(); });
    m_testingPanel->layout()->setContentsMargins(0, 0, 0, 0);
    m_testingPanel->Label()->setObjectName(QStringLiteral("lblTesting"));
    m_testingPanel->CancelButton()->setObjectName(QStringLiteral("cmdCancelTest"));
    ui->layEditorButtons->addWidget(m_testingPanel);
    NewProbe();

    FillDrivers();
    FillDataSources(QString());
    NewDataSource();
}

void TfrmDataSources::NewProbe() {
    m_probe = std::make_unique<TZel_JobRunner>();
    m_probe->OnBusyChanged = [this](bool busy) {
        ui->cmdTest->setEnabled(!busy);
        m_testingPanel->SetBusy(busy);
    };
}

TfrmDataSources::~TfrmDataSources() {
    m_probe->OnBusyChanged = nullptr;
}

void TfrmDataSources::FillDrivers() {
    ui->lstDrivers->clear();
    ui->cmbDriver->clear();
    for (const TOdbcDriverInfo& driver : TOdbcUserDataSources::Drivers()) {
        const bool usable = driver.Kind != TOdbcDriverKind::Other;
        ui->lstDrivers->addItem(Q(driver.Name) +
                                (usable ? QString() : QStringLiteral("  (not supported here)")));
        if (usable)
            ui->cmbDriver->addItem(Q(driver.Name), static_cast<int>(driver.Kind));
    }
}

void TfrmDataSources::FillDataSources(const QString& select) {
    const bool wasLoading = m_loading;
    m_loading = true;
    ui->lstDataSources->clear();
    for (const std::string& name : TOdbcUserDataSources::Names()) {
        ui->lstDataSources->addItem(Q(name));
        if (QString::compare(Q(name), select, Qt::CaseInsensitive) == 0)
            ui->lstDataSources->setCurrentRow(ui->lstDataSources->count() - 1);
    }
    m_loading = wasLoading;
}

void TfrmDataSources::SetModified(bool modified) {
    if (!m_loading)
        m_modified = modified;
}

QString TfrmDataSources::CurrentDataSource() const {
    return ui->editName->text().trimmed();
}

TOdbcDriverKind TfrmDataSources::EditedKind() const {
    if (ui->cmbDriver->currentIndex() < 0)
        return TOdbcDriverKind::Other;
    return static_cast<TOdbcDriverKind>(ui->cmbDriver->currentData().toInt());
}

void TfrmDataSources::ShowDriverPage() {
    const TOdbcDriverKind kind = EditedKind();
    ui->stackDriver->setCurrentIndex(PageOf(kind));
    const bool usable = kind != TOdbcDriverKind::Other;
    ui->cmdSave->setEnabled(usable);
    ui->cmdTest->setEnabled(usable);
}

void TfrmDataSources::NewDataSource() {
    m_loading = true;
    ui->lstDataSources->setCurrentRow(-1);
    for (QLineEdit* edit : {ui->editName, ui->editDescription, ui->editDatabaseFile, ui->editServer,
                            ui->editPort, ui->editDatabase, ui->editUserName, ui->editPassword})
        edit->clear();
    ui->editServer->setText(QStringLiteral("localhost"));
    ui->cmbDriver->setEnabled(true);
    ui->cmbDriver->setCurrentIndex(DefaultDriver(ui->cmbDriver));
    m_editing.clear();
    m_loading = false;
    m_modified = false;
    ShowDriverPage();
    ui->cmdRemove->setEnabled(false);
    ui->editName->setFocus();
}

void TfrmDataSources::LoadDataSource(const QString& name) {
    const TOdbcDataSourceDef definition = TOdbcUserDataSources::Read(S(name));
    m_loading = true;
    ui->editName->setText(Q(definition.Name));
    ui->editDescription->setText(Q(definition.Description));
    int driver = ui->cmbDriver->findText(Q(definition.Driver), Qt::MatchFixedString);
    if (driver < 0) {
        // A driver this dialog does not handle, or one no longer installed.
        ui->cmbDriver->addItem(Q(definition.Driver), static_cast<int>(TOdbcDriverKind::Other));
        driver = ui->cmbDriver->count() - 1;
    }
    ui->cmbDriver->setCurrentIndex(driver);
    ui->editDatabaseFile->setText(Q(definition.Database));
    ui->editDatabase->setText(Q(definition.Database));
    ui->editServer->setText(Q(definition.Server));
    ui->editPort->setText(Q(definition.Port));
    ui->editUserName->setText(Q(definition.UserName));
    ui->editPassword->clear();
    ui->lblOtherDriver->setText(
        QStringLiteral("This data source uses the driver \"%1\", which cannot be edited here.")
            .arg(Q(definition.Driver)));
    m_editing = Q(definition.Name);
    m_loading = false;
    m_modified = false;
    ShowDriverPage();
    ui->cmdRemove->setEnabled(true);
}

void TfrmDataSources::CurrentItemChanged() {
    if (m_loading)
        return;
    QListWidgetItem* item = ui->lstDataSources->currentItem();
    if (!item || QString::compare(item->text(), m_editing, Qt::CaseInsensitive) == 0)
        return;
    const QString chosen = item->text();
    if (!ResolveUnsavedEdits()) {
        FillDataSources(m_editing); // back to the one being edited
        return;
    }
    LoadDataSource(chosen);
}

void TfrmDataSources::SelectDataSource(const QString& name) {
    const QString wanted = name.trimmed();
    if (!wanted.isEmpty() && TOdbcUserDataSources::Exists(S(wanted))) {
        FillDataSources(wanted);
        if (QListWidgetItem* item = ui->lstDataSources->currentItem())
            LoadDataSource(item->text());
        return;
    }
    NewDataSource();
    m_loading = true;
    ui->editName->setText(wanted);
    m_loading = false;
}

TOdbcDataSourceDef TfrmDataSources::EditedDefinition() const {
    TOdbcDataSourceDef definition;
    definition.Name = S(ui->editName->text());
    definition.Driver = S(ui->cmbDriver->currentText());
    definition.Description = S(ui->editDescription->text());
    if (EditedKind() == TOdbcDriverKind::SQLite) {
        definition.Database = S(ui->editDatabaseFile->text());
    } else {
        definition.Database = S(ui->editDatabase->text());
        definition.Server = S(ui->editServer->text());
        definition.Port = S(ui->editPort->text());
        definition.UserName = S(ui->editUserName->text());
    }
    return definition;
}

bool TfrmDataSources::Save() {
    const TOdbcDataSourceDef definition = EditedDefinition();
    const std::string problem = TOdbcUserDataSources::Problem(definition);
    if (!problem.empty()) {
        TMessageBox::Show(this, Q(problem), QMessageBox::Warning);
        return false;
    }
    const QString name = Q(definition.Name);
    const bool renamed = QString::compare(name, m_editing, Qt::CaseInsensitive) != 0;
    if (renamed && TOdbcUserDataSources::Exists(definition.Name) &&
        TMessageBox::Ask(
            this, QStringLiteral("A data source named \"%1\" exists already. Replace it?").arg(name)) !=
            QMessageBox::Yes)
        return false;
    try {
        TOdbcUserDataSources::Write(definition, S(m_editing));
    } catch (const std::exception& e) {
        TMessageBox::Show(this, Q(e.what()), QMessageBox::Warning);
        return false;
    }
    FillDataSources(name);
    m_editing = name;
    m_saved = name;
    m_modified = false;
    ui->cmdRemove->setEnabled(true);
    emit DataSourceSaved(name);
    emit DataSourcesChanged();
    return true;
}

bool TfrmDataSources::RemoveCurrent() {
    if (m_editing.isEmpty())
        return false;
    if (TMessageBox::Ask(this, QStringLiteral("Remove the data source \"%1\"?").arg(m_editing)) !=
        QMessageBox::Yes)
        return false;
    try {
        TOdbcUserDataSources::Remove(S(m_editing));
    } catch (const std::exception& e) {
        TMessageBox::Show(this, Q(e.what()), QMessageBox::Warning);
        return false;
    }
    if (QString::compare(m_saved, m_editing, Qt::CaseInsensitive) == 0)
        m_saved.clear();
    FillDataSources(QString());
    NewDataSource();
    emit DataSourcesChanged();
    return true;
}

void TfrmDataSources::TestConnection() {
    if (m_probe->Busy())
        return;
    auto result = std::make_shared<std::string>();
    m_probe->Run(
        [definition = EditedDefinition(), password = ui->editPassword->text().toStdString(),
         result](TZel_JobRunner::TControl&) { *result = TOdbcConnectionProbe::Test(definition, password); },
        [this, result](std::exception_ptr error) {
            m_lastTestSucceeded = !error;
            if (!error) {
                TMessageBox::Post(QStringLiteral("Connection successful.\n\n%1").arg(Q(*result)),
                                  QMessageBox::Information);
                return;
            }
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                TMessageBox::Post(QStringLiteral("Unable to connect:\n\n%1").arg(Q(e.what())),
                                  QMessageBox::Warning);
            }
        });
}

void TfrmDataSources::CancelTest() {
    if (!m_probe->Busy())
        return;
    // A connect cannot be interrupted: the attempt ends on its own thread
    // within its login timeout, and the next test does not wait for it.
    m_probe->OnBusyChanged = nullptr;
    m_probe.reset();
    ui->cmdTest->setEnabled(true);
    m_testingPanel->SetBusy(false);
    NewProbe();
}

void TfrmDataSources::BrowseDatabaseFile() {
    const QString current = ui->editDatabaseFile->text().trimmed();
    const QString folder = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
    const QString chosen = TFileDialog::GetOpenFileName(
        this, QStringLiteral("SQLite Database File"), folder,
        QStringLiteral("SQLite databases (*.db *.sqlite *.sqlite3 *.db3);;All files (*)"));
    if (!chosen.isEmpty())
        ui->editDatabaseFile->setText(QFileInfo(chosen).absoluteFilePath());
}

bool TfrmDataSources::ResolveUnsavedEdits() {
    if (!m_modified)
        return true;
    const QString name =
        CurrentDataSource().isEmpty() ? QStringLiteral("the new data source") : CurrentDataSource();
    switch (TMessageBox::Ask(this, QStringLiteral("Save the changes to %1?").arg(name),
                             QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes)) {
    case QMessageBox::Yes:
        return Save();
    case QMessageBox::No:
        m_modified = false;
        return true;
    default:
        return false;
    }
}

void TfrmDataSources::done(int result) {
    bool leave = false; // a failure while saving keeps the edits on screen
    ShownCall(this, [&] { leave = ResolveUnsavedEdits(); });
    if (leave)
        QDialog::done(result);
}
