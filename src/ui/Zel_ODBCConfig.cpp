#include "ui/Zel_ODBCConfig.h"

#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ConnectionPool.h"
#include "data/Zel_JobRunner.h"
#include "data/Zel_ODBCSession.h"
#include "ui/AccessibleNames.h"
#include "ui/BusyPanel.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"
#include "ui/frm_DataSources.h"
#include "ui_Zel_ODBCConfig.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolBar>
#include <QWheelEvent>
#include <algorithm>
#include <utility>

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.toStdString();
}

QString DeviceFieldLabel(int fieldNumber) {
    return Q(TSessionDefinition::DeviceFieldKey(fieldNumber));
}

void SortCaseInsensitive(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return QString::compare(Q(a), Q(b), Qt::CaseInsensitive) < 0;
    });
}

// Replaces a combo box's choices and keeps its text.
void SetChoices(QComboBox* box, const std::vector<std::string>& names) {
    const QSignalBlocker blocker(box);
    const QString text = box->currentText();
    box->clear();
    for (const std::string& name : names)
        box->addItem(Q(name));
    box->setEditText(text);
}

void SetText(QComboBox* box, const QString& text) {
    const QSignalBlocker blocker(box);
    box->setEditText(text);
}

void SetText(QLineEdit* edit, const QString& text) {
    const QSignalBlocker blocker(edit);
    edit->setText(text);
}

// A group box's font would pass to every control inside it: only its title turns bold.
void SetBold(QWidget* widget, bool bold) {
    if (qobject_cast<QGroupBox*>(widget)) {
        widget->setStyleSheet(
            bold ? QStringLiteral("QGroupBox#%1 { font-weight: bold; }").arg(widget->objectName())
                 : QString());
        return;
    }
    QFont font = widget->font();
    font.setBold(bold);
    widget->setFont(font);
}

const QString kUnableToConnect = QStringLiteral("Unable to connect to selected Database");

// The field chooser of the mapping grid: a wheel turn over it scrolls the
// grid, as over any other cell, instead of changing the choice.
class TFieldChooser : public QComboBox {
public:
    explicit TFieldChooser(QWidget* parent = nullptr) : QComboBox(parent) {
        setObjectName(QStringLiteral("cmbPCFields"));
        setAccessibleName(QStringLiteral("PC Field"));
        setEditable(true);
        setInsertPolicy(QComboBox::NoInsert);
        lineEdit()->setAccessibleName(accessibleName());
    }

protected:
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }
};

// Edits a PC cell of the mapping grid with the field chooser: the table's
// columns are offered and any other text can be typed. The view opens,
// moves and closes the chooser, so Tab, the arrows, the wheel and Escape work
// as in any grid; Escape drops what was typed.
class TPCFieldDelegate : public QStyledItemDelegate {
public:
    TPCFieldDelegate(const QStringList& choices, std::function<void()> changed, std::function<void()> leave,
                     QObject* parent)
        : QStyledItemDelegate(parent), m_choices(choices), m_changed(std::move(changed)),
          m_leave(std::move(leave)) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        auto* box = new TFieldChooser(parent);
        box->setFrame(false);
        box->addItems(m_choices);
        box->setProperty(kLastRow, index.row() == index.model()->rowCount() - 1);
        // Typing makes the session modified at once (Apply is offered), as in the other boxes.
        connect(box, &QComboBox::editTextChanged, box,
                [this, cell = QPersistentModelIndex(index)](const QString& text) {
                    if (cell.isValid() && text != cell.data(Qt::EditRole).toString())
                        m_changed();
                });
        return box;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        auto* box = static_cast<QComboBox*>(editor);
        const QString text = index.data(Qt::EditRole).toString();
        const QSignalBlocker blocker(box);
        box->setCurrentIndex(box->findText(text, Qt::MatchExactly));
        box->setEditText(text);
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        const QString text = static_cast<QComboBox*>(editor)->currentText();
        if (text == index.data(Qt::EditRole).toString())
            return;
        model->setData(index, text, Qt::EditRole);
        m_changed();
    }

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex&) const override {
        editor->setGeometry(option.rect);
    }

protected:
    // Tab on the last row keeps the choice and leaves the grid, instead of
    // starting over at its first row: the operator is never caught in it.
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* editor = qobject_cast<QWidget*>(object);
        if (editor && event->type() == QEvent::KeyPress && editor->property(kLastRow).toBool()) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Tab && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
                emit commitData(editor);
                emit closeEditor(editor, QAbstractItemDelegate::NoHint);
                m_leave();
                return true;
            }
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

private:
    static constexpr const char* kLastRow = "zelLastRow";
    const QStringList& m_choices;
    std::function<void()> m_changed;
    std::function<void()> m_leave;
};

} // namespace

TfrmODBCConfig::TfrmODBCConfig(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TfrmODBCConfig>()) {
    ui->setupUi(this);
    m_busyPanel =
        new TBusyPanel(QStringLiteral("Connecting..."), this, [this] { Guarded([this] { CancelWork(); }); });
    if (auto* form = qobject_cast<QBoxLayout*>(layout()))
        form->insertWidget(0, m_busyPanel);
    m_jobs = std::make_unique<TZel_JobRunner>();
    m_jobs->OnBusyChanged = [this](bool busy) { BusyChanged(busy); };
    ui->Splitter1->setStretchFactor(1, 1);
    ui->Splitter1->setSizes({154, 527});
    // On a small screen (or a large scale) the sessions and the editor scroll;
    // Apply stays in view below them.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("scrSession"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    delete layout()->replaceWidget(ui->Splitter1, scroll); // the old item is ours to free
    scroll->setWidget(ui->Splitter1);
    NameInputsAfterLabels(this);
    for (QComboBox* box : {ui->cmbDSN, ui->cmbTable, ui->cmbKeyField})
        box->setInsertPolicy(QComboBox::NoInsert);

    // The mapping actions, in a vertical tool bar beside the grid.
    auto* toolBar = new QToolBar(this);
    toolBar->setObjectName(QStringLiteral("ActionToolBar1"));
    toolBar->setOrientation(Qt::Vertical);
    ui->actMoveUp->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));
    ui->actMoveDown->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    ui->actInsert->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
    ui->actRemoveMap->setIcon(style()->standardIcon(QStyle::SP_DialogDiscardButton));
    toolBar->addActions({ui->actMoveUp, ui->actMoveDown, ui->actInsert, ui->actRemoveMap});
    ui->toolBarHost->addWidget(toolBar);
    ui->toolBarHost->addStretch();

    m_pcFieldDelegate = new TPCFieldDelegate(
        m_pcFieldChoices, [this] { setModified(); }, [this] { leaveGrid(true); }, this);
    ui->gridFields->installEventFilter(this);
    ui->gridFields->setItemDelegateForColumn(1, m_pcFieldDelegate);
    ui->gridFields->verticalHeader()->setDefaultSectionSize(
        std::max(16, TFieldChooser().sizeHint().height()));
    // A few rows of the mapping stay in view however small the window.
    ui->gridFields->setMinimumHeight(ui->gridFields->horizontalHeader()->sizeHint().height() +
                                     4 * ui->gridFields->verticalHeader()->defaultSectionSize() +
                                     2 * ui->gridFields->frameWidth());
    ui->gridFields->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

    auto guard = [](auto body) { return [body](auto&&...) { Guarded(body); }; };
    connect(ui->lstSessions, &QListWidget::currentRowChanged, this, [this](int row) {
        Guarded([&] {
            if (row >= 0 && row + 1 != m_currentSession) {
                doChangeCurrentSession(row + 1);
                doSwitchStep();
            }
        });
    });
    connect(ui->txtSessionName, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_work.SessionName = S(text);
        setModified();
    });
    connect(ui->txtSessionName, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (QListWidgetItem* item = ui->lstSessions->item(m_currentSession - 1))
            item->setText(QStringLiteral("Session %1: %2").arg(m_currentSession).arg(text));
    });
    connect(ui->chkEnabled, &QCheckBox::toggled, this, [this](bool checked) {
        m_work.Enabled = checked;
        setModified();
    });

    // Data source and table: typing only edits the text; the connection is
    // made when a choice is made or the editing is finished.
    connect(ui->cmbDSN, &QComboBox::editTextChanged, this, [this](const QString& text) {
        m_work.DSN = S(text);
        setModified();
    });
    // A choice from the list always connects, also to the same source again.
    connect(ui->cmbDSN, &QComboBox::activated, this, guard([this] { cmbDSNChange(true); }));
    connect(ui->cmbDSN->lineEdit(), &QLineEdit::editingFinished, this,
            guard([this] { cmbDSNChange(false); }));
    connect(ui->btnDataSources, &QPushButton::clicked, this, guard([this] { OpenDataSourcesDialog(); }));
    connect(ui->txtUsername, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_work.Username = S(text);
        setModified();
    });
    connect(ui->txtPassword, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_work.Password = S(text);
        setModified();
    });
    connect(ui->cmbTable, &QComboBox::editTextChanged, this, [this](const QString& text) {
        m_work.Tablename = S(text);
        setModified();
    });
    connect(ui->cmbTable, &QComboBox::activated, this, guard([this] { cmbTableChange(true); }));
    connect(ui->cmbTable->lineEdit(), &QLineEdit::editingFinished, this,
            guard([this] { cmbTableChange(false); }));
    ui->cmbTable->installEventFilter(this);
    connect(ui->cmbKeyField, &QComboBox::editTextChanged, this, [this](const QString& text) {
        m_work.KeyFieldName = S(text);
        setModified();
    });

    // Mapping grid
    connect(ui->gridFields, &QTableWidget::currentCellChanged, this,
            [this](int row, int column) { gridFieldsSelectCell(row, column); });
    connect(ui->actMoveUp, &QAction::triggered, this, guard([this] { actMoveUpExecute(); }));
    connect(ui->actMoveDown, &QAction::triggered, this, guard([this] { actMoveDownExecute(); }));
    connect(ui->actInsert, &QAction::triggered, this, guard([this] { actInsertMapExecute(); }));
    connect(ui->actRemoveMap, &QAction::triggered, this, guard([this] { actRemoveMapExecute(); }));

    // Update options
    for (QRadioButton* button : {ui->rdoOverwriteExisting, ui->rdoAppendToExisting, ui->rdoUpdateExisting})
        connect(button, &QRadioButton::toggled, this, [this] { rdoUpdateClick(); });
    connect(ui->chkAppendIfNotFound, &QCheckBox::toggled, this, [this] { setModified(); });
    connect(ui->chkDeleteAfterTransfer, &QCheckBox::toggled, this, [this](bool checked) {
        m_work.DeleteAfterTransfer = checked;
        setModified();
    });
    connect(ui->btnAddIndex, &QPushButton::clicked, this, guard([this] { btnAddIndexClick(); }));
    connect(ui->lstPCFields, &QListWidget::itemDoubleClicked, this, guard([this] { btnAddIndexClick(); }));
    connect(ui->btnRemoveAsIndex, &QPushButton::clicked, this, guard([this] { btnRemoveAsIndexClick(); }));
    connect(ui->lstIndexFields, &QListWidget::itemDoubleClicked, this,
            guard([this] { btnRemoveAsIndexClick(); }));

    // Transfer options
    for (QRadioButton* button : {ui->rdoToPDANoFilter, ui->rdoToPDAStaticFilter, ui->rdoToPDAPromptFilter})
        connect(button, &QRadioButton::toggled, this, [this] { rdoToPDANoFilterClick(); });
    for (QRadioButton* button :
         {ui->rdoFromPDANoFilter, ui->rdoFromPDAStaticFilter, ui->rdoFromPDAPromptFilter})
        connect(button, &QRadioButton::toggled, this, [this] { rdoFromPDANoFilterClick(); });
    const auto store = [this](std::string& into) {
        return [this, &into](const QString& text) {
            into = S(text);
            setModified();
        };
    };
    connect(ui->cmbToPDAFilterField, &QComboBox::editTextChanged, this, store(m_work.FilterToDevice.Field));
    connect(ui->cmbToPDAOperator, &QComboBox::editTextChanged, this, store(m_work.FilterToDevice.Operator));
    connect(ui->txtToPDAValue, &QLineEdit::textChanged, this, store(m_work.FilterToDevice.Value));
    connect(ui->cmbFromPDAFilterField, &QComboBox::editTextChanged, this,
            store(m_work.FilterFromDevice.Field));
    connect(ui->cmbFromPDAOperator, &QComboBox::editTextChanged, this,
            store(m_work.FilterFromDevice.Operator));
    connect(ui->txtFromPDAValue, &QLineEdit::textChanged, this, store(m_work.FilterFromDevice.Value));

    connect(ui->PageControl1, &QTabWidget::currentChanged, this,
            [this](int page) { showPageInstructions(page); });
    connect(ui->btnApply, &QPushButton::clicked, this, guard([this] { btnApplyClick(); }));
}

TfrmODBCConfig::~TfrmODBCConfig() {
    m_jobs->OnBusyChanged = nullptr;
    // The connection closes on the worker, after what still runs there.
    Dispose(std::move(m_session));
}

// ------------------------------------------------------- work on the worker

bool TfrmODBCConfig::IsBusy() const {
    return m_jobs->Busy();
}

void TfrmODBCConfig::BusyChanged(bool busy) {
    m_busyPanel->SetBusy(busy);
}

void TfrmODBCConfig::CancelWork() {
    if (!m_jobs->Busy())
        return;
    // A connect cannot be interrupted: it ends on its own thread within its
    // driver's timeout, unseen, and the next request does not wait for it.
    ++m_openGeneration;
    m_jobs->OnBusyChanged = nullptr;
    m_jobs = std::make_unique<TZel_JobRunner>();
    m_jobs->OnBusyChanged = [this](bool busy) { BusyChanged(busy); };
    BusyChanged(false);
}

void TfrmODBCConfig::Dispose(std::shared_ptr<TZel_ODBCSession> session) {
    if (session)
        m_jobs->Run([session = std::move(session)](TZel_JobRunner::TControl&) mutable { session.reset(); });
}

void TfrmODBCConfig::NewSessionObject() {
    auto session = std::make_shared<TZel_ODBCSession>();
    session->IniFile = IniFile;
    session->SessionNumber = m_currentSession;
    session->SessionName = m_work.SessionName;
    session->DSN = m_work.DSN;
    session->Username = m_work.Username;
    session->Password = m_work.Password;
    session->Tablename = m_work.Tablename;
    Dispose(std::exchange(m_session, std::move(session)));
}

void TfrmODBCConfig::ConnectInBackground(
    const TOpenRequest& request,
    std::function<void(bool opened, const std::vector<std::string>& tables)> then) {
    if (!m_session || m_session->DSN.empty())
        return;
    struct TAnswer {
        std::shared_ptr<TZel_ODBCSession> Session;
        std::vector<std::string> Tables;
        bool Opened = false;
        QString Failure;
    };
    auto answer = std::make_shared<TAnswer>();
    auto session = std::make_shared<TZel_ODBCSession>();
    session->IniFile = IniFile;
    session->SessionNumber = m_session->SessionNumber;
    session->SessionName = m_session->SessionName;
    session->DSN = m_session->DSN;
    session->Username = m_session->Username;
    session->Password = m_session->Password;
    session->Tablename = m_session->Tablename;
    answer->Session = session;
    const uint64_t generation = ++m_openGeneration;
    m_jobs->Run(
        [answer, request](TZel_JobRunner::TControl& control) {
            TZel_ODBCSession& s = *answer->Session;
            auto failed = [&](const QString& headline, const std::exception& e) {
                const QString reason = Q(e.what());
                answer->Failure = headline.isEmpty() ? reason : headline + QStringLiteral("\n\n") + reason;
            };
            try {
                if (!s.Connect())
                    return;
                control.SetCancelTarget(s.Connection());
                if (request.ListTables) {
                    s.GetTableNames(answer->Tables);
                    SortCaseInsensitive(answer->Tables);
                }
            } catch (const std::exception& e) {
                failed(kUnableToConnect, e);
                return;
            }
            if (request.OpenTable && !s.Tablename.empty()) {
                try {
                    answer->Opened = s.OpenTable();
                } catch (const std::exception& e) {
                    failed(request.OpenHeadline, e);
                }
            }
        },
        [this, generation, answer, then](std::exception_ptr) {
            if (generation != m_openGeneration) {
                Dispose(answer->Session); // overtaken by a later choice
                return;
            }
            // The fields the operator may have typed meanwhile stay theirs.
            answer->Session->SessionName = m_session->SessionName;
            Dispose(std::exchange(m_session, answer->Session));
            if (!answer->Failure.isEmpty())
                TMessageBox::Post(answer->Failure, QMessageBox::Warning);
            if (then)
                Guarded([&] { then(answer->Opened, answer->Tables); });
        });
}

void TfrmODBCConfig::WaitForWork() {
    if (!m_jobs->Busy())
        return;
    // Nothing but Cancel takes input meanwhile.
    std::vector<QWidget*> disabled;
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (child != m_busyPanel && child->isEnabled()) {
            child->setEnabled(false);
            disabled.push_back(child);
        }
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!m_jobs->Busy())
            loop.quit();
    });
    poll.start(20);
    loop.exec();
    for (QWidget* child : disabled)
        child->setEnabled(true);
}

void TfrmODBCConfig::FinishWork() {
    if (!m_jobs->Busy())
        return;
    if (TMessageBox::Ask(this,
                         QStringLiteral("The session wizard is still waiting for the database.\n\n"
                                        "Wait for it (Yes) or cancel it (No)?"),
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes)
        WaitForWork();
    else
        CancelWork();
}

template <class Step> bool TfrmODBCConfig::dataSourceStep(const QString& headline, Step&& step) {
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        const QString reason = Q(e.what());
        TMessageBox::Show(this, headline.isEmpty() ? reason : headline + QStringLiteral("\n\n") + reason,
                          QMessageBox::Warning);
        return false;
    }
}

void TfrmODBCConfig::setModified() {
    m_modified = true;
    ui->btnApply->setEnabled(true);
}

// ------------------------------------------------------------------ loading

void TfrmODBCConfig::InitializeForm() {
    if (NumberOfSessions <= 0)
        return;
    NumberOfFields = std::clamp(NumberOfFields, 1, ZEL_MAX_DEVICE_FIELDS);
    ui->PageControl1->setTabVisible(1, ShowUpdateOptions);
    ui->PageControl1->setTabVisible(2, ShowTransferOptions);
    // A hidden page must not make the page control as tall as its contents.
    for (int page = 1; page <= 2; ++page) {
        const bool shown = ui->PageControl1->isTabVisible(page);
        ui->PageControl1->widget(page)->setSizePolicy(shown ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                                                      shown ? QSizePolicy::Preferred : QSizePolicy::Ignored);
    }
    ui->PageControl1->setCurrentIndex(0);
    showPageInstructions(0);
    ui->lblFixedKeyField->setVisible(ShowKeyField);
    ui->cmbKeyField->setVisible(ShowKeyField);
    m_modified = false;
    ui->btnApply->setEnabled(false);
    ui->lstIndexFields->clear();
    populateSessionList();
    populateDSNList();
    doChangeCurrentSession(1);
    doSwitchStep();
    m_closeAllowed = true;
    m_settingsSaved = false;
}

void TfrmODBCConfig::populateSessionList() {
    const QSignalBlocker blocker(ui->lstSessions);
    ui->lstSessions->clear();
    for (int n = 1; n <= NumberOfSessions; ++n) {
        const std::string name = IniFile ? TSessionDefinition::ReadSessionName(*IniFile, n) : "";
        QString text = QStringLiteral("Session %1").arg(n);
        if (IniFile && name != TZel_ODBCSession::SectionNameOf(n))
            text += QStringLiteral(": ") + Q(name);
        ui->lstSessions->addItem(text);
    }
    m_currentSession = 0;
}

void TfrmODBCConfig::populateDSNList() {
    dataSourceStep({}, [&] {
        std::vector<std::string> names = TZel_ConnectionPool::DataSourceNames();
        SortCaseInsensitive(names);
        SetChoices(ui->cmbDSN, names);
    });
}

void TfrmODBCConfig::OpenDataSourcesDialog() {
    TfrmDataSources dialog(this);
    dialog.SelectDataSource(ui->cmbDSN->currentText());
    dialog.exec();
    populateDSNList();
    const QString saved = dialog.SavedDataSource();
    if (!saved.isEmpty()) {
        SetText(ui->cmbDSN, saved);
        cmbDSNChange(true);
    }
}

void TfrmODBCConfig::doChangeCurrentSession(int sessionNumber) {
    commitMappingEditor();
    if (m_modified && !SaveSettings()) {
        const QSignalBlocker blocker(ui->lstSessions);
        ui->lstSessions->setCurrentRow(m_currentSession - 1);
        return;
    }
    m_currentSession = sessionNumber;
    {
        const QSignalBlocker blocker(ui->lstSessions);
        ui->lstSessions->setCurrentRow(sessionNumber - 1);
    }
    ui->lstPCFields->clear();
    ui->lstIndexFields->clear();

    m_work = IniFile ? TSessionDefinition::ReadLenient(*IniFile, sessionNumber, NumberOfFields)
                     : TSessionDefinition{};
    m_keepSavedMapping = !m_work.DSN.empty();
    clearGridOfDeviceFields();
    populateGridWithDeviceFields();
    for (size_t n = 0; n < m_work.FieldNames.size(); ++n)
        setPCCell(int(n), Q(m_work.FieldNames[n]));
    for (const std::string& name : m_work.IndexFieldNames)
        ui->lstIndexFields->addItem(Q(name));
    showWorkingCopy();

    replaceSessionObject();
    populateGridWithPCFields();
    populatecmbPCFields();
    populatecmbFilterPDAFields();
    populateLstWithPCFields();
    buildIndexString();
    showUpdateType();
    m_modified = false;
    ui->btnApply->setEnabled(false);
}

void TfrmODBCConfig::showWorkingCopy() {
    ui->lblSession->setText(QStringLiteral("Session %1").arg(m_currentSession));
    SetText(ui->cmbDSN, Q(m_work.DSN));
    SetText(ui->cmbTable, Q(m_work.Tablename));
    SetText(ui->cmbKeyField, Q(m_work.KeyFieldName));
    SetText(ui->txtSessionName, Q(m_work.SessionName));
    SetText(ui->txtUsername, Q(m_work.Username));
    SetText(ui->txtPassword, Q(m_work.Password));
    {
        const QSignalBlocker enabled(ui->chkEnabled);
        const QSignalBlocker deleteAfter(ui->chkDeleteAfterTransfer);
        ui->chkEnabled->setChecked(m_work.Enabled);
        ui->chkDeleteAfterTransfer->setChecked(m_work.DeleteAfterTransfer);
    }
    const TSessionDefinition::TFilter toDevice = m_work.FilterToDevice;
    const TSessionDefinition::TFilter fromDevice = m_work.FilterFromDevice;
    showFilterType(toDevice.Type, 0);
    showFilterType(fromDevice.Type, 1);
    rdoToPDANoFilterClick();
    rdoFromPDANoFilterClick();
    m_work.FilterToDevice = toDevice; // showing a type must not change the one read
    m_work.FilterFromDevice = fromDevice;
    SetText(ui->cmbToPDAFilterField, Q(toDevice.Field));
    SetText(ui->cmbToPDAOperator, Q(toDevice.Operator));
    SetText(ui->txtToPDAValue, Q(toDevice.Value));
    SetText(ui->cmbFromPDAFilterField, Q(fromDevice.Field));
    SetText(ui->cmbFromPDAOperator, Q(fromDevice.Operator));
    SetText(ui->txtFromPDAValue, Q(fromDevice.Value));
}

// The session object connects with what the working copy holds; a section
// that the server would refuse to read still loads here, so that it can be fixed.
void TfrmODBCConfig::replaceSessionObject() {
    NewSessionObject();
    m_committedDsn = m_work.DSN;
    m_committedTable = m_work.Tablename;
    SetChoices(ui->cmbTable, {});
    if (m_work.DSN.empty())
        return;
    const int sessionNumber = m_currentSession;
    ConnectInBackground({true, true, kUnableToConnect},
                        [this, sessionNumber](bool, const std::vector<std::string>& tables) {
                            if (sessionNumber != m_currentSession)
                                return;
                            SetChoices(ui->cmbTable, tables);
                            // What the opened table offers; the mapping read stays.
                            const bool modified = m_modified;
                            populateGridWithPCFields();
                            populatecmbPCFields();
                            populateLstWithPCFields();
                            if (!modified) {
                                m_modified = false;
                                ui->btnApply->setEnabled(false);
                            }
                        });
}

void TfrmODBCConfig::doSwitchStep() {
    const bool noSource = m_work.DSN.empty();
    SetBold(ui->grpStep1, noSource);
    SetBold(ui->lblStep1Instructions, noSource);
    SetBold(ui->grpStep3, !noSource);
    SetBold(ui->lblStep3aInstructions, !noSource);
    SetBold(ui->lblStep3bInstructions, !noSource);
}

void TfrmODBCConfig::showPageInstructions(int page) {
    static const char* const texts[][2] = {
        {"Make the mapping between the", "device fields and the PC fields."},
        {"Append to the PC table or update", "table based on selected PC fields."},
        {"Select the records to be transferred", "based on specific values."},
    };
    if (page < 0 || page > 2)
        return;
    ui->lblStep3aInstructions->setText(QString::fromLatin1(texts[page][0]));
    ui->lblStep3bInstructions->setText(QString::fromLatin1(texts[page][1]));
}

// ------------------------------------------------------ data source and table

void TfrmODBCConfig::cmbDSNChange(bool chosen) {
    const std::string dsn = S(ui->cmbDSN->currentText());
    if (!m_session || (!chosen && dsn == m_committedDsn))
        return; // editing finished without a change
    m_committedDsn = dsn;
    m_committedTable.clear();
    m_work.DSN = dsn;
    m_work.Tablename.clear();
    SetText(ui->cmbTable, {});
    SetChoices(ui->cmbTable, {});
    {
        const QSignalBlocker blocker(ui->cmbKeyField);
        ui->cmbKeyField->clear();
    }
    m_work.KeyFieldName.clear();
    ui->txtIndexString->clear();
    NewSessionObject();
    populateTableList();
    clearGridOfPCFields();
    clearGridOfDeviceFields();
    ui->lstPCFields->clear();
    ui->lstIndexFields->clear();
    doSwitchStep();
    setModified();
}

void TfrmODBCConfig::populateTableList() {
    SetChoices(ui->cmbTable, {});
    if (m_work.DSN.empty() || !m_session)
        return;
    ConnectInBackground({true, false, {}}, [this](bool, const std::vector<std::string>& tables) {
        SetChoices(ui->cmbTable, tables);
    });
}

void TfrmODBCConfig::cmbTableClick() {
    if (m_session && !m_session->IsConnected() && !m_jobs->Busy())
        populateTableList();
}

void TfrmODBCConfig::cmbTableChange(bool chosen) {
    const std::string table = S(ui->cmbTable->currentText());
    if (!m_session || (!chosen && table == m_committedTable))
        return;
    m_committedTable = table;
    m_work.Tablename = table;
    m_work.KeyFieldName.clear();
    SetText(ui->cmbKeyField, {});
    {
        const QSignalBlocker blocker(ui->cmbKeyField);
        ui->cmbKeyField->clear();
    }
    ui->txtIndexString->clear();
    m_keepSavedMapping = false;
    for (int row = 0; row < ui->gridFields->rowCount(); ++row)
        setPCCell(row, {});
    ui->lstPCFields->clear();
    ui->lstIndexFields->clear();
    m_session->Tablename = table;
    if (!table.empty())
        ConnectInBackground({false, true, {}}, [this](bool opened, const std::vector<std::string>&) {
            if (!opened)
                return;
            populateGridWithDeviceFields(); // first: the rows the columns go into
            populateGridWithPCFields();
            populatecmbPCFields();
            populateLstWithPCFields();
            doSwitchStep();
        });
    setModified();
}

void TfrmODBCConfig::populatecmbPCFields() {
    std::vector<std::string> names;
    if (m_session && m_session->IsConnected())
        names = m_session->GetFieldNames();
    m_pcFieldChoices.clear();
    for (const std::string& name : names)
        m_pcFieldChoices << Q(name);
    SetChoices(ui->cmbToPDAFilterField, names);
    SetChoices(ui->cmbKeyField, names);
}

bool TfrmODBCConfig::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->cmbTable && event->type() == QEvent::MouseButtonPress)
        Guarded([this] { cmbTableClick(); });
    // Tab past the grid's last cell and Shift+Tab before its first leave it.
    if (watched == ui->gridFields && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QModelIndex current = ui->gridFields->currentIndex();
        const bool plain = !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
        const bool back = key->key() == Qt::Key_Backtab || key->modifiers() & Qt::ShiftModifier;
        const bool last = current.row() == ui->gridFields->rowCount() - 1 &&
                          current.column() == ui->gridFields->columnCount() - 1;
        const bool first = current.row() <= 0 && current.column() <= 0;
        if (plain && (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && (back ? first : last)) {
            leaveGrid(!back);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- the grid

QString TfrmODBCConfig::pcCell(int row) const {
    const QTableWidgetItem* item = ui->gridFields->item(row, 1);
    return item ? item->text() : QString();
}

void TfrmODBCConfig::setPCCell(int row, const QString& text) {
    if (row < 0 || row >= ui->gridFields->rowCount())
        return;
    if (QTableWidgetItem* item = ui->gridFields->item(row, 1))
        item->setText(text);
    else
        ui->gridFields->setItem(row, 1, new QTableWidgetItem(text));
}

void TfrmODBCConfig::clearGridOfDeviceFields() {
    for (int row = 0; row < ui->gridFields->rowCount(); ++row)
        if (QTableWidgetItem* item = ui->gridFields->item(row, 0))
            item->setText({});
    ui->gridFields->setRowCount(1);
}

void TfrmODBCConfig::clearGridOfPCFields() {
    for (int row = 0; row < ui->gridFields->rowCount(); ++row)
        setPCCell(row, {});
    ui->gridFields->setRowCount(1);
}

void TfrmODBCConfig::populateGridWithDeviceFields() {
    ui->gridFields->setRowCount(NumberOfFields);
    for (int n = 1; n <= NumberOfFields; ++n) {
        auto* item = new QTableWidgetItem(DeviceFieldLabel(n));
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        ui->gridFields->setItem(n - 1, 0, item);
        if (!ui->gridFields->item(n - 1, 1))
            ui->gridFields->setItem(n - 1, 1, new QTableWidgetItem);
    }
}

void TfrmODBCConfig::populateGridWithPCFields() {
    if (!m_session || !m_session->IsConnected() || m_keepSavedMapping)
        return;
    const std::vector<std::string>& names = m_session->GetFieldNames();
    for (int row = 0; row < NumberOfFields && size_t(row) < names.size(); ++row)
        setPCCell(row, Q(names[size_t(row)]));
}

// The operator moving to a PC cell opens the field chooser on it; a cell
// made current by the wizard itself (loading, moving a mapping) opens nothing.
void TfrmODBCConfig::gridFieldsSelectCell(int row, int column) {
    QWidget* focus = QApplication::focusWidget();
    if (row < 0 || column != 1 || !focus || !(focus == ui->gridFields || ui->gridFields->isAncestorOf(focus)))
        return;
    ui->gridFields->edit(ui->gridFields->model()->index(row, column));
}

void TfrmODBCConfig::leaveGrid(bool forward) {
    ui->gridFields->setFocus(Qt::OtherFocusReason);
    // The window's own focus chain, past the grid and its open chooser.
    focusNextPrevChild(forward);
}

void TfrmODBCConfig::commitMappingEditor() {
    const QModelIndex index = ui->gridFields->currentIndex();
    if (QWidget* editor = index.isValid() ? ui->gridFields->indexWidget(index) : nullptr)
        m_pcFieldDelegate->setModelData(editor, ui->gridFields->model(), index);
}

void TfrmODBCConfig::actMoveUpExecute() {
    commitMappingEditor();
    const int row = ui->gridFields->currentRow();
    if (!m_session || row < 1)
        return;
    const QString above = pcCell(row - 1);
    setPCCell(row - 1, pcCell(row));
    setPCCell(row, above);
    ui->gridFields->setCurrentCell(row - 1, std::max(0, ui->gridFields->currentColumn()));
    setModified();
}

void TfrmODBCConfig::actMoveDownExecute() {
    commitMappingEditor();
    const int row = ui->gridFields->currentRow();
    if (!m_session || row < 0 || row >= ui->gridFields->rowCount() - 1)
        return;
    const QString below = pcCell(row + 1);
    setPCCell(row + 1, pcCell(row));
    setPCCell(row, below);
    ui->gridFields->setCurrentCell(row + 1, std::max(0, ui->gridFields->currentColumn()));
    setModified();
}

void TfrmODBCConfig::actInsertMapExecute() {
    commitMappingEditor();
    const int row = ui->gridFields->currentRow();
    if (!m_session || row < 0)
        return;
    for (int i = ui->gridFields->rowCount() - 1; i > row; --i)
        setPCCell(i, pcCell(i - 1));
    setPCCell(row, {});
    const QModelIndex cell = ui->gridFields->model()->index(row, 1);
    ui->gridFields->setCurrentIndex(cell);
    if (!ui->gridFields->indexWidget(cell))
        ui->gridFields->edit(cell);
    setModified();
}

void TfrmODBCConfig::actRemoveMapExecute() {
    commitMappingEditor();
    if (!m_session)
        return;
    // The open chooser follows the cell it edits, which takes the row below.
    const int row = ui->gridFields->currentRow();
    if (row < 0)
        return;
    const int last = ui->gridFields->rowCount() - 1;
    for (int i = row; i < last; ++i)
        setPCCell(i, pcCell(i + 1));
    setPCCell(last, {});
    setModified();
}

// --------------------------------------------------------- update options

void TfrmODBCConfig::rdoUpdateClick() {
    const bool update = ui->rdoUpdateExisting->isChecked();
    const bool appendChecked = ui->chkAppendIfNotFound->isChecked();
    ui->chkAppendIfNotFound->setEnabled(update);
    {
        const QSignalBlocker blocker(ui->chkAppendIfNotFound);
        ui->chkAppendIfNotFound->setChecked(appendChecked && update);
    }
    for (QWidget* widget : std::initializer_list<QWidget*>{ui->lstPCFields, ui->lstIndexFields,
                                                           ui->btnAddIndex, ui->btnRemoveAsIndex})
        widget->setEnabled(update);
    setModified();
}

void TfrmODBCConfig::showUpdateType() {
    for (QWidget* widget :
         std::initializer_list<QWidget*>{ui->chkAppendIfNotFound, ui->lstPCFields, ui->lstIndexFields,
                                         ui->btnAddIndex, ui->btnRemoveAsIndex})
        widget->setEnabled(false);
    switch (m_work.UpdateType) {
    case utAppendToExisting:
        ui->rdoAppendToExisting->setChecked(true);
        break;
    case utOverwriteExisting:
        ui->rdoOverwriteExisting->setChecked(true);
        break;
    case utUpdateExisting:
    case utUpdateExistingAppendIfNotFound:
        ui->chkAppendIfNotFound->setChecked(m_work.UpdateType == utUpdateExistingAppendIfNotFound);
        ui->rdoUpdateExisting->setChecked(true);
        for (QWidget* widget :
             std::initializer_list<QWidget*>{ui->chkAppendIfNotFound, ui->lstPCFields, ui->lstIndexFields,
                                             ui->btnAddIndex, ui->btnRemoveAsIndex})
            widget->setEnabled(true);
        break;
    default:
        return;
    }
    rdoUpdateClick();
}

void TfrmODBCConfig::readUpdateType() {
    if (ui->rdoAppendToExisting->isChecked())
        m_work.UpdateType = utAppendToExisting;
    else if (ui->rdoOverwriteExisting->isChecked())
        m_work.UpdateType = utOverwriteExisting;
    else if (ui->rdoUpdateExisting->isChecked())
        m_work.UpdateType =
            ui->chkAppendIfNotFound->isChecked() ? utUpdateExistingAppendIfNotFound : utUpdateExisting;
}

void TfrmODBCConfig::populateLstWithPCFields() {
    ui->lstPCFields->clear();
    if (!m_session || !m_session->IsConnected())
        return;
    for (const std::string& name : m_session->GetFieldNames())
        ui->lstPCFields->addItem(Q(name));
    // A column is offered on one side only.
    for (int i = 0; i < ui->lstIndexFields->count(); ++i) {
        const auto found = ui->lstPCFields->findItems(ui->lstIndexFields->item(i)->text(), Qt::MatchExactly);
        if (!found.isEmpty())
            delete found.last();
    }
}

void TfrmODBCConfig::btnAddIndexClick() {
    QListWidgetItem* item = ui->lstPCFields->currentItem();
    if (!item)
        return;
    if (ui->lstIndexFields->count() >= ZEL_MAX_INDEX_FIELDS) {
        TMessageBox::Show(
            this, QStringLiteral("At most %1 update fields can be chosen.").arg(ZEL_MAX_INDEX_FIELDS));
        return;
    }
    ui->lstIndexFields->addItem(item->text());
    delete item;
    buildIndexString();
    if (ui->lstPCFields->count() > 0)
        ui->lstPCFields->setCurrentRow(0);
    setModified();
}

void TfrmODBCConfig::btnRemoveAsIndexClick() {
    QListWidgetItem* item = ui->lstIndexFields->currentItem();
    if (!item)
        return;
    ui->lstPCFields->addItem(item->text());
    delete item;
    buildIndexString();
    if (ui->lstIndexFields->count() > 0)
        ui->lstIndexFields->setCurrentRow(0);
    setModified();
}

void TfrmODBCConfig::buildIndexString() {
    QStringList names;
    for (int i = 0; i < ui->lstIndexFields->count(); ++i)
        names << ui->lstIndexFields->item(i)->text();
    ui->txtIndexString->setText(names.join(QLatin1Char('+')));
}

// ------------------------------------------------------- transfer options

void TfrmODBCConfig::showFilterType(int type, int group) {
    QRadioButton* const buttons[2][3] = {
        {ui->rdoToPDANoFilter, ui->rdoToPDAStaticFilter, ui->rdoToPDAPromptFilter},
        {ui->rdoFromPDANoFilter, ui->rdoFromPDAStaticFilter, ui->rdoFromPDAPromptFilter},
    };
    for (int i = 0; i < 3; ++i) {
        // Radio buttons of a group are exclusive: a type no button stands for checks none.
        buttons[group][i]->setAutoExclusive(false);
        buttons[group][i]->setChecked(i == type);
        buttons[group][i]->setAutoExclusive(true);
    }
}

namespace {

int CheckedFilterType(QRadioButton* fixed, QRadioButton* prompt) {
    return fixed->isChecked() ? 1 : prompt->isChecked() ? 2 : 0;
}

void EnableFilterControls(bool enabled, std::initializer_list<QWidget*> widgets) {
    for (QWidget* widget : widgets)
        widget->setEnabled(enabled);
}

} // namespace

void TfrmODBCConfig::rdoToPDANoFilterClick() {
    EnableFilterControls(ui->rdoToPDAStaticFilter->isChecked(),
                         {ui->cmbToPDAFilterField, ui->cmbToPDAOperator, ui->txtToPDAValue,
                          ui->lblToPDAFilterField, ui->lblToPDAValue});
    m_work.FilterToDevice.Type = CheckedFilterType(ui->rdoToPDAStaticFilter, ui->rdoToPDAPromptFilter);
    setModified();
}

void TfrmODBCConfig::rdoFromPDANoFilterClick() {
    EnableFilterControls(ui->rdoFromPDAStaticFilter->isChecked(),
                         {ui->cmbFromPDAFilterField, ui->cmbFromPDAOperator, ui->txtFromPDAValue,
                          ui->lblFromPDAFilterField, ui->lblFromPDAValue});
    m_work.FilterFromDevice.Type = CheckedFilterType(ui->rdoFromPDAStaticFilter, ui->rdoFromPDAPromptFilter);
    setModified();
}

void TfrmODBCConfig::populatecmbFilterPDAFields() {
    std::vector<std::string> labels;
    for (int n = 1; n <= NumberOfFields; ++n)
        labels.push_back(TSessionDefinition::DeviceFieldKey(n));
    SetChoices(ui->cmbFromPDAFilterField, labels);
}

// ------------------------------------------------- validation and saving

bool TfrmODBCConfig::ValidateSettings() {
    if (!m_work.Enabled)
        return true;
    QString problem;
    // What the last connect and open answered; SaveSettings waited for them.
    const bool opened = m_session && m_session->IsConnected() && m_session->Table() &&
                        !m_work.Tablename.empty() &&
                        Q(m_session->Tablename).compare(Q(m_work.Tablename), Qt::CaseInsensitive) == 0;
    bool mapped = false;
    for (int row = 0; row < std::min(NumberOfFields, ui->gridFields->rowCount()); ++row)
        mapped = mapped || !pcCell(row).isEmpty();
    const auto& filter = m_work.FilterToDevice;
    if (!opened)
        problem = QStringLiteral("Unknown error opening Database or Table!");
    else if (!m_session->Table())
        problem = QStringLiteral("Invalid data source or table setting!");
    else if (!mapped)
        problem = QStringLiteral("At least one field must be mapped between the PC and PDA!");
    else if ((m_work.UpdateType == utUpdateExisting ||
              m_work.UpdateType == utUpdateExistingAppendIfNotFound) &&
             ui->lstIndexFields->count() == 0)
        problem =
            QStringLiteral("At least one field must be chosen when using the Update Existing data option!");
    else if (filter.Type == fltStatic &&
             (filter.Field.empty() || filter.Operator.empty() || filter.Value.empty()))
        problem = QStringLiteral("Invalid Filter Settings!");
    else if (ShowKeyField && ui->cmbKeyField->currentText().isEmpty())
        problem = QStringLiteral("A Key Field must be selected");
    if (problem.isEmpty())
        return true;
    TMessageBox::Show(this,
                      problem +
                          QStringLiteral("\r\n\r\nThis problem must be fixed or the session disabled in "
                                         "order to continue."),
                      QMessageBox::Warning);
    return false;
}

bool TfrmODBCConfig::SaveSettings() {
    commitMappingEditor();
    // Work the operator started before is waited for or cancelled, as they answer.
    FinishWork();
    // Text typed into the data source or table box counts once its editing
    // is over: what is validated is what gets written.
    cmbDSNChange(false);
    cmbTableChange(false);
    WaitForWork();
    readUpdateType();
    return ValidateSettings() && writeINIFile();
}

void TfrmODBCConfig::checkSessionName() {
    if (!ui->txtSessionName->text().isEmpty())
        return;
    const std::string section = TZel_ODBCSession::SectionNameOf(m_currentSession);
    SetText(ui->txtSessionName, Q(section));
    m_work.SessionName = section;
    if (QListWidgetItem* item = ui->lstSessions->item(m_currentSession - 1))
        item->setText(QStringLiteral("Session %1").arg(m_currentSession));
}

bool TfrmODBCConfig::writeINIFile() {
    readUpdateType();
    checkSessionName();
    TSessionDefinition definition = m_work;
    definition.FieldNames.clear();
    for (int row = 0; row < NumberOfFields; ++row)
        definition.FieldNames.push_back(S(row < ui->gridFields->rowCount() ? pcCell(row) : QString()));
    definition.IndexFieldNames.clear();
    for (int i = 0; i < ui->lstIndexFields->count(); ++i)
        definition.IndexFieldNames.push_back(S(ui->lstIndexFields->item(i)->text()));
    try {
        if (!IniFile)
            throw Exception("TfrmODBCConfig: no configuration file assigned");
        definition.Write(*IniFile, m_currentSession);
        return true;
    } catch (const std::exception& e) {
        TMessageBox::Show(this, QStringLiteral("The session could not be saved.\n\n") + Q(e.what()),
                          QMessageBox::Warning);
        return false;
    }
}

void TfrmODBCConfig::btnApplyClick() {
    if (SaveSettings()) {
        m_modified = false;
        ui->btnApply->setEnabled(false);
    }
    m_settingsSaved = true;
}

void TfrmODBCConfig::closeEvent(QCloseEvent* event) {
    m_closeAllowed = true;
    Guarded([&] {
        commitMappingEditor();
        if (!m_modified)
            FinishWork();
        // Enter keeps the edits.
        if (m_modified &&
            TMessageBox::Ask(this, QStringLiteral("Save Settings"), QMessageBox::Yes | QMessageBox::No,
                             QMessageBox::Yes) == QMessageBox::Yes) {
            m_closeAllowed = SaveSettings();
            m_settingsSaved = true;
        }
    });
    if (m_closeAllowed)
        event->accept();
    else
        event->ignore();
}
