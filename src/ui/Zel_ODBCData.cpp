#include "ui/Zel_ODBCData.h"
#include "ui_Zel_ODBCData.h"

#include "base/IniFile.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ODBCSession.h"
#include "data/Zel_TableBrowser.h"
#include "data/odbc/DatabaseError.h"
#include "ui/BusyPanel.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"
#include "ui/Zel_TableModel.h"
#include "ui/frm_FilterPrompt.h"

#include <QAbstractButton>
#include <QAbstractItemDelegate>
#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

const char* const kGridSection = "DataGridSettings";
const char* const kHistorySection = "DataViewFilter";

std::string SessionSection(int number) {
    return TZel_ODBCSession::SectionNameOf(number);
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// A tool-bar picture of a few letters, where the icon theme has none.
QIcon LetterIcon(const QString& letters) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(18);
    painter.setFont(font);
    painter.setPen(QColor(40, 40, 40));
    painter.drawText(pixmap.rect(), Qt::AlignCenter, letters);
    return QIcon(pixmap);
}

} // namespace

TfrmODBCData::TfrmODBCData(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TfrmODBCData>()) {
    ui->setupUi(this);
    m_model = new TZel_TableModel(this);
    m_model->SetRunner(&m_jobs);
    m_model->OnError = [this](const std::exception& error) {
        // Reported while the grid paints: shown once the paint is over.
        const QString text = Text(ExceptionText(error));
        const bool database = dynamic_cast<const EDatabaseError*>(&error) != nullptr;
        QMetaObject::invokeMethod(
            this,
            [this, text, database] {
                if (database)
                    ShowErrorText(text);
                else
                    LogError("Data viewer: " + text.toStdString());
            },
            Qt::QueuedConnection);
    };
    ui->grdTableData->setModel(m_model);
    ui->grdTableData->setSortingEnabled(false);
    ui->grdTableData->horizontalHeader()->setFont(ui->grdTableData->font());
    ui->grdTableData->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui->grdTableData->verticalHeader()->setFont(ui->grdTableData->font());
    ui->grdTableData->verticalHeader()->setDefaultAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ui->grdTableData->verticalHeader()->setDefaultSectionSize(ui->grdTableData->fontMetrics().height() + 4);
    ui->grdTableData->horizontalHeader()->setDefaultSectionSize(DefaultColumnWidth);
    // Column widths follow the viewer's own rules (and the widths saved),
    // not a minimum the style derives from the font.
    ui->grdTableData->horizontalHeader()->setMinimumSectionSize(1);
    ui->grdTableData->installEventFilter(this);
    QPalette header = ui->grdTableData->horizontalHeader()->palette();
    header.setColor(QPalette::ButtonText, palette().color(QPalette::Inactive, QPalette::WindowText));
    ui->grdTableData->horizontalHeader()->setPalette(header);

    // Data source and table in 250 pixels each; the row count and filter take the rest.
    for (int i = 0; i < 3; ++i) {
        m_panels[i] = new QLabel(this);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        if (i < 2)
            m_panels[i]->setFixedWidth(250);
        else
            m_panels[i]->setMinimumWidth(50);
        ui->StatusBar->addWidget(m_panels[i], i == 2 ? 1 : 0);
    }
    SetIcons();
    // The tool bar keeps every button in view beside the session box.
    ui->ActionToolBar1->setIconSize(QSize(16, 16));
    ui->ActionToolBar1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    // The tool bar's own button for the tools it cannot show says what it is.
    if (auto* more = ui->ActionToolBar1->findChild<QAbstractButton*>(QStringLiteral("qt_toolbar_ext_button")))
        more->setAccessibleName(QStringLiteral("More tools"));

    // "Loading..." with Cancel above the grid while the database has not answered.
    m_busyPanel =
        new TBusyPanel(QStringLiteral("Loading..."), this, [this] { Guarded([this] { CancelWork(); }); });
    if (auto* form = qobject_cast<QBoxLayout*>(layout()))
        form->insertWidget(1, m_busyPanel);
    m_jobs.OnBusyChanged = [this](bool busy) { BusyChanged(busy); };
    // Posts, deletes and counts land when the database answers.
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { RefreshRowCount(); });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] { RefreshRowCount(); });
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, [this] { RefreshRowCount(); });
    connect(m_model, &TZel_TableModel::StateChanged, this, [this] { RefreshRowCount(); });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { FitRowHeader(); });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] { FitRowHeader(); });
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, [this] { FitRowHeader(); });
    connect(m_model, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        QHeaderView* header = ui->grdTableData->horizontalHeader();
        if (header->count() == 0)
            return;
        m_columnWidths.resize(static_cast<size_t>(header->count()));
        for (int i = 0; i < header->count(); ++i)
            m_columnWidths[static_cast<size_t>(i)] = header->sectionSize(i);
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        QHeaderView* header = ui->grdTableData->horizontalHeader();
        for (int i = 0; i < header->count() && static_cast<size_t>(i) < m_columnWidths.size(); ++i)
            header->resizeSection(i, m_columnWidths[static_cast<size_t>(i)]);
    });

    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] { Handle([this] { actRefreshExecute(); }); });

    auto on = [this](QAction* action, void (TfrmODBCData::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, handler] { Handle([this, handler] { (this->*handler)(); }); });
    };
    connect(ui->actUpRow, &QAction::triggered, this, [this] { Handle([this] { MoveCurrent(-1, 0); }); });
    connect(ui->actDownRow, &QAction::triggered, this, [this] { Handle([this] { MoveCurrent(1, 0); }); });
    connect(ui->actMovePrev, &QAction::triggered, this, [this] { Handle([this] { MoveCurrent(0, -1); }); });
    connect(ui->actMoveNext, &QAction::triggered, this, [this] { Handle([this] { MoveCurrent(0, 1); }); });
    on(ui->actEdit, &TfrmODBCData::actEditExecute);
    on(ui->actInsert, &TfrmODBCData::actInsertExecute);
    on(ui->actPost, &TfrmODBCData::actPostExecute);
    on(ui->actDelete, &TfrmODBCData::actDeleteExecute);
    on(ui->actRefresh, &TfrmODBCData::actRefreshExecute);
    // The filter follows the check state, which a click, the keyboard and
    // assistive technology (which toggles the button, never triggering its
    // action) all change; the view's own updates set it as the filter is.
    connect(ui->actFilter, &QAction::toggled, this, [this](bool checked) {
        if (checked != m_filtered)
            Handle([this] { actFilterExecute(); });
    });
    connect(ui->widencols, &QAction::triggered, this,
            [this] { Handle([this] { ResizeColumns(&WidenedWidth); }); });
    connect(ui->shrinkcols, &QAction::triggered, this,
            [this] { Handle([this] { ResizeColumns(&ShrunkWidth); }); });
    connect(ui->actEnlarge, &QAction::triggered, this,
            [this] { Handle([this] { SetFontSize(ui->grdTableData->font().pointSize() + 1); }); });
    connect(ui->actShrink, &QAction::triggered, this,
            [this] { Handle([this] { SetFontSize(ui->grdTableData->font().pointSize() - 1); }); });
    connect(ui->btnRemoveFilter, &QPushButton::clicked, this,
            [this] { Handle([this] { btnRemoveFilterClick(); }); });
    connect(ui->btnEditFilter, &QPushButton::clicked, this,
            [this] { Handle([this] { btnEditFilterClick(); }); });
    auto* findFilter = new QAction(QStringLiteral("Filter..."), this);
    findFilter->setObjectName(QStringLiteral("actFindFilter"));
    findFilter->setShortcut(QKeySequence::Find);
    findFilter->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(findFilter);
    on(findFilter, &TfrmODBCData::actFindFilterExecute);
    // A value the column refused is dropped by Escape in its cell editor.
    connect(ui->grdTableData->itemDelegate(), &QAbstractItemDelegate::closeEditor, this,
            [this](QWidget*, QAbstractItemDelegate::EndEditHint hint) {
                if (hint == QAbstractItemDelegate::RevertModelCache)
                    m_model->DropRejected(ui->grdTableData->currentIndex());
            });
    connect(ui->cmdCloseErrorDisplay, &QPushButton::clicked, this,
            [this] { Guarded([this] { ShowErrorText(QString()); }); });
    connect(ui->cmbSessions, &QComboBox::activated, this,
            [this](int index) { Handle([this, index] { cmbSessionsChange(index); }); });
    // Leaving the row being edited or inserted posts it (an untouched new row
    // goes away), as the grid's table would. The view's own submit on every
    // change of the current row would also post a new row that just became current.
    disconnect(ui->grdTableData->selectionModel(), SIGNAL(currentRowChanged(QModelIndex, QModelIndex)),
               m_model, SLOT(submit()));
    connect(ui->grdTableData->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                Handle([this, current] {
                    const int pending = m_model->PendingRow();
                    if (!m_placingNewRow && pending >= 0 && current.isValid() && current.row() != pending &&
                        !m_model->Post())
                        ShowRejected();
                });
            });
    PutInScrollArea();
    FitRowHeader();
}

void TfrmODBCData::PutInScrollArea() {
    auto* form = qobject_cast<QBoxLayout*>(layout());
    if (!form)
        return;
    // Everything the form's layout holds moves into the scroll area, which
    // takes its place: the view shrinks with its frame, its contents do not.
    auto* contents = new QWidget;
    contents->setObjectName(QStringLiteral("pnlScrolled"));
    auto* moved = new QVBoxLayout(contents);
    moved->setContentsMargins(form->contentsMargins());
    moved->setSpacing(form->spacing());
    while (form->count() > 0) {
        const int stretch = form->stretch(0);
        QLayoutItem* item = form->takeAt(0);
        if (QWidget* widget = item->widget()) {
            moved->addWidget(widget, stretch);
            delete item;
        } else {
            moved->addItem(item);
        }
    }
    auto* area = new QScrollArea(this);
    area->setObjectName(QStringLiteral("scrViewer"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setWidget(contents);
    form->setContentsMargins(0, 0, 0, 0);
    form->addWidget(area);
}

TfrmODBCData::~TfrmODBCData() {
    if (!m_closed)
        Guarded([this] { saveGridSettings(); });
    m_jobs.OnBusyChanged = nullptr;
    // The model must forget the browser before the browser goes.
    ui->grdTableData->setModel(nullptr);
    m_model->SetBrowser(nullptr);
    // The connection closes on the worker, after whatever still runs there
    // (whose answer is dropped with the runner).
    m_jobs.Run([session = std::move(m_dataSession),
                browser = std::move(m_browser)](TZel_JobRunner::TControl&) mutable {
        browser.reset();
        session.reset();
    });
}

// --- work on the worker ---

void TfrmODBCData::BusyChanged(bool busy) {
    m_busyPanel->SetBusy(busy);
}

void TfrmODBCData::CancelWork() {
    if (!m_jobs.Busy())
        return;
    m_jobs.Cancel();
    m_model->JobsCancelled();
    m_refreshing = false;
    m_refreshAgain = false;
    ShowErrorText(
        QStringLiteral("The database did not answer; the work was cancelled. Refresh to try again."));
}

void TfrmODBCData::FinishWork() {
    if (!m_jobs.Busy())
        return;
    // Only reading (a refresh after the handhelds' changes, the rows in
    // sight): nothing is lost by dropping it, so the operator is not asked.
    if (!m_model->IsWriting()) {
        CancelWork();
        return;
    }
    const QMessageBox::StandardButton answer =
        TMessageBox::Ask(this,
                         QStringLiteral("The data viewer is still waiting for the database.\n\n"
                                        "Wait for it (Yes) or cancel it (No)?"),
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer != QMessageBox::Yes) {
        CancelWork();
        return;
    }
    // The view's Cancel button stays usable meanwhile.
    QEventLoop loop;
    auto quit = [&loop, this] {
        if (!m_jobs.Busy())
            loop.quit();
    };
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, quit);
    poll.start(20);
    loop.exec();
}

void TfrmODBCData::SetIcons() {
    struct Icon {
        QAction* action;
        const char* theme;
        QStyle::StandardPixmap fallback;
    };
    const Icon icons[] = {
        {ui->actUpRow, "go-up", QStyle::SP_ArrowUp},
        {ui->actDownRow, "go-down", QStyle::SP_ArrowDown},
        {ui->actMovePrev, "go-previous", QStyle::SP_ArrowLeft},
        {ui->actMoveNext, "go-next", QStyle::SP_ArrowRight},
        {ui->actEdit, "document-edit", QStyle::SP_FileDialogDetailedView},
        {ui->actInsert, "list-add", QStyle::SP_FileDialogNewFolder},
        {ui->actPost, "document-save", QStyle::SP_DialogSaveButton},
        {ui->actDelete, "list-remove", QStyle::SP_TrashIcon},
        {ui->actRefresh, "view-refresh", QStyle::SP_BrowserReload},
        {ui->actFilter, "edit-find", QStyle::SP_FileDialogContentsView},
        {ui->widencols, "format-indent-more", QStyle::SP_MediaSeekForward},
        {ui->shrinkcols, "format-indent-less", QStyle::SP_MediaSeekBackward},
    };
    for (const Icon& icon : icons)
        icon.action->setIcon(
            QIcon::fromTheme(QString::fromLatin1(icon.theme), style()->standardIcon(icon.fallback)));
    ui->actEnlarge->setIcon(QIcon::fromTheme(QStringLiteral("zoom-in"), LetterIcon(QStringLiteral("A+"))));
    ui->actShrink->setIcon(QIcon::fromTheme(QStringLiteral("zoom-out"), LetterIcon(QStringLiteral("A-"))));
}

// --- errors ---

void TfrmODBCData::Handle(const std::function<void()>& body) {
    Guarded([&] {
        try {
            body();
        } catch (const EDatabaseError& error) {
            ShowError(error);
        }
    });
}

void TfrmODBCData::ShowError(const std::exception& error) {
    ShowErrorText(Text(ExceptionText(error)));
}

void TfrmODBCData::ShowErrorText(const QString& text) {
    ui->memoError->clear();
    if (text.isEmpty()) {
        ui->pnlErrorMemoContainer->hide();
        return;
    }
    ui->memoError->appendPlainText(text);
    ui->pnlErrorMemoContainer->show();
}

// --- sessions ---

void TfrmODBCData::InitializeForm() {
    Guarded([this] {
        populatecmbSessions();
        if (!m_sessionNumbers.empty()) {
            populateGridWithTableData([this] { Guarded([this] { loadGridSettings(); }); });
            return;
        }
        ui->cmbSessions->addItem(QStringLiteral("No sessions enabled"));
        loadGridSettings();
    });
}

void TfrmODBCData::populatecmbSessions() {
    ui->cmbSessions->clear();
    m_sessionNumbers.clear();
    for (int n = 1; n <= NumberOfSessions; ++n) {
        TZel_ODBCSession session;
        session.SessionNumber = n;
        session.IniFile = IniFile;
        try {
            if (!session.IsEnabled())
                continue;
            session.ReadINISettings();
        } catch (const std::exception& error) {
            // A section that cannot be read is left out, not the whole list.
            LogError(ExceptionText(error));
            continue;
        }
        const QString name = session.SessionName.empty()
                                 ? QStringLiteral("(not named: ") + Text(SessionSection(n))
                                 : Text(session.SessionName);
        ui->cmbSessions->addItem(name);
        m_sessionNumbers.push_back(n);
    }
    if (!m_sessionNumbers.empty()) {
        ui->cmbSessions->setCurrentIndex(0);
        m_currentSession = m_sessionNumbers.front();
    }
}

void TfrmODBCData::cmbSessionsChange(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_sessionNumbers.size())
        return;
    saveGridSettings();
    m_currentSession = m_sessionNumbers[static_cast<size_t>(index)];
    populateGridWithTableData([this] {
        Guarded([this] {
            removeFilter();
            loadGridSettings();
            RefreshRowCount();
        });
    });
}

void TfrmODBCData::populateGridWithTableData(std::function<void()> then) {
    m_model->SetBrowser(nullptr);
    // The previous table's objects go on the worker, after its last job.
    m_jobs.Run([session = std::move(m_dataSession),
                browser = std::move(m_browser)](TZel_JobRunner::TControl&) mutable {
        browser.reset();
        session.reset();
    });
    auto session = std::make_shared<TZel_ODBCSession>();
    session->IniFile = IniFile;
    const int index = ui->cmbSessions->currentIndex();
    if (index >= 0 && static_cast<size_t>(index) < m_sessionNumbers.size())
        session->SessionNumber = m_sessionNumbers[static_cast<size_t>(index)];
    m_dataSession = session;
    auto failed = [this, session, then](const std::string& text) {
        LogError("Data viewer: " + text);
        TMessageBox::Post(QStringLiteral("Error connecting to Database or table: \n\n  DSN: ") +
                              Text(session->DSN) + QStringLiteral("\nTable: ") + Text(session->Tablename),
                          QMessageBox::Warning);
        if (then)
            then();
    };
    try {
        session->ReadINISettings();
    } catch (const std::exception& error) {
        failed(ExceptionText(error));
        return;
    }
    struct TOpened {
        std::shared_ptr<TZel_TableBrowser> Browser;
        int64_t Rows = 0;
    };
    auto opened = std::make_shared<TOpened>();
    m_jobs.Run(
        [session, opened](TZel_JobRunner::TControl& control) {
            TZel_ODBCSession& s = *session;
            if (!s.Connect())
                throw EZel_DBConnectionError("Unable to connect to Database.  It may be in use");
            control.SetCancelTarget(s.Connection());
            if (control.Cancelled())
                return;
            if (!s.OpenTable())
                throw EZel_DBConnectionError("Unable to connect to Database.  It may be in use");
            auto browser = std::make_shared<TZel_TableBrowser>(s.Connection(), s.Tablename);
            browser->Open();
            opened->Rows = browser->RowCount();
            opened->Browser = std::move(browser);
        },
        [this, session, opened, then, failed](std::exception_ptr error) {
            if (session != m_dataSession)
                return; // another table was chosen meanwhile
            if (error) {
                try {
                    std::rethrow_exception(error);
                } catch (const std::exception& failure) {
                    failed(ExceptionText(failure));
                }
                return;
            }
            m_browser = opened->Browser;
            m_model->SetBrowser(m_browser, opened->Rows);
            m_filtered = false;
            m_panels[0]->setText(QStringLiteral("Database: ") + Text(session->DSN));
            m_panels[1]->setText(QStringLiteral("Table: ") + Text(session->Tablename));
            RefreshRowCount();
            if (then)
                then();
        });
}

void TfrmODBCData::RefreshRowCount() {
    if (!m_browser)
        return;
    QString text = QStringLiteral("Row Count: %1").arg(m_model->TableRows());
    if (m_filtered)
        text += QStringLiteral(" -- [Filter On: ") + Text(m_model->Filter()) + QLatin1Char(']');
    m_panels[2]->setText(text);
}

// --- layout ---

int TfrmODBCData::WidenedWidth(int width) {
    return static_cast<int>(std::lround(width * 1.2));
}

int TfrmODBCData::ShrunkWidth(int width) {
    const double shrunk = width * 0.8;
    return shrunk > 15 ? static_cast<int>(std::lround(shrunk)) : width;
}

void TfrmODBCData::ResizeColumns(int (*resize)(int)) {
    QHeaderView* header = ui->grdTableData->horizontalHeader();
    for (int i = 0; i < header->count(); ++i)
        header->resizeSection(i, resize(header->sectionSize(i)));
}

void TfrmODBCData::SetFontSize(int size) {
    if (size < MinFontSize || size > MaxFontSize)
        return;
    QFont font = ui->grdTableData->font();
    font.setPointSize(size);
    ui->grdTableData->setFont(font);
    ui->grdTableData->horizontalHeader()->setFont(font);
    ui->grdTableData->verticalHeader()->setFont(font);
    ui->grdTableData->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 4);
    FitRowHeader();
    ui->grdTableData->viewport()->update();
}

void TfrmODBCData::FitRowHeader() {
    QHeaderView* rows = ui->grdTableData->verticalHeader();
    // The widest text is the last row's number, or a row being edited with its mark.
    const QString widest = QStringLiteral("I ") + QString::number(std::max(m_model->rowCount(), 1));
    const int margin = 2 * rows->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, rows) + 4;
    rows->setMinimumWidth(QFontMetrics(rows->font()).horizontalAdvance(widest) + margin);
}

void TfrmODBCData::loadGridSettings() {
    if (!IniFile)
        return;
    QString filter;
    try {
        QFont font = ui->grdTableData->font();
        font.setPointSize(std::clamp(IniFile->ReadInteger(kGridSection, "FontSize", DefaultFontSize),
                                     MinFontSize, MaxFontSize));
        ui->grdTableData->setFont(font);
        ui->grdTableData->verticalHeader()->setFont(font);
        ui->grdTableData->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 4);
        FitRowHeader();
        QHeaderView* header = ui->grdTableData->horizontalHeader();
        for (int i = 0; i < header->count(); ++i)
            header->resizeSection(
                i, IniFile->ReadInteger(kGridSection, "Column" + std::to_string(i), DefaultColumnWidth));
        filter = Text(IniFile->ReadString(kGridSection, "Filter" + std::to_string(m_currentSession), ""));
    } catch (const std::exception&) {
        return; // the layout is a convenience; the defaults stand
    }
    if (filter.isEmpty() || !m_browser)
        return;
    _updateFormForFilteredStatus(true, filter, [this](const std::exception& error) {
        // The table no longer takes the stored filter (a field was removed):
        // forget it instead of failing every refresh.
        _updateFormForFilteredStatus(false, QString(), [](const std::exception&) {});
        try {
            IniFile->WriteString(kGridSection, "Filter" + std::to_string(m_currentSession), "");
        } catch (const std::exception&) {
        }
        ShowError(error);
    });
}

void TfrmODBCData::saveGridSettings() {
    if (!IniFile)
        return;
    try {
        IniFile->WriteInteger(kGridSection, "FontSize", ui->grdTableData->font().pointSize());
        QHeaderView* header = ui->grdTableData->horizontalHeader();
        for (int i = 0; i < header->count(); ++i)
            IniFile->WriteInteger(kGridSection, "Column" + std::to_string(i), header->sectionSize(i));
        if (m_dataSession)
            IniFile->WriteString(kGridSection, "Filter" + std::to_string(m_currentSession),
                                 ui->txtFilterString->text().toStdString());
    } catch (const std::exception& error) {
        LogError("Data viewer: grid settings not saved: " + ExceptionText(error));
    }
}

// --- filter ---

void TfrmODBCData::_updateFormForFilteredStatus(bool on, const QString& text,
                                                std::function<void(const std::exception& error)> failed) {
    auto show = [this, on, text] {
        m_currentFilter = text;
        m_filtered = on;
        ui->actFilter->setChecked(on);
        ui->pnlFilterStatus->setVisible(on);
        ui->txtFilterString->setText(m_currentFilter);
        RefreshRowCount();
        update();
    };
    if (!m_browser || text.toStdString() == m_model->Filter() || !on) {
        // No table refuses the removal of a filter: shown (and saved) at once.
        show();
        if (!m_browser || text.toStdString() == m_model->Filter())
            return;
    } else {
        ui->actFilter->setChecked(m_filtered);
    }
    m_model->ApplyFilter(text.toStdString(), [this, show, on, failed](std::exception_ptr error) {
        if (!error) {
            if (on)
                show();
            else
                RefreshRowCount();
            // Other rows now: the grid starts at the first of them.
            QTableView* grid = ui->grdTableData;
            grid->scrollToTop();
            if (m_model->rowCount() > 0 && m_model->columnCount() > 0)
                grid->setCurrentIndex(m_model->index(0, 0));
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& failure) {
            if (failed)
                failed(failure);
            else
                ShowError(failure);
        }
    });
}

void TfrmODBCData::removeFilter() {
    if (!m_dataSession)
        return;
    _updateFormForFilteredStatus(false, QString(), [](const std::exception&) {});
}

bool TfrmODBCData::PromptForFilter(QString& text) {
    TfrmFilterPrompt prompt(this);
    prompt.SetSession(m_dataSession.get());
    prompt.HistorySection = kHistorySection;
    if (prompt.exec() != QDialog::Accepted)
        return false;
    text = prompt.GetFilterText();
    return true;
}

bool TfrmODBCData::RefusedValueWaits() {
    if (m_model->RejectedColumn() < 0)
        return false;
    // Other rows would replace the row with the operator's refused text:
    // the text is put right (or given up) first.
    ui->actFilter->setChecked(m_filtered);
    m_model->Post();
    ShowRejected();
    return true;
}

void TfrmODBCData::actFilterExecute() {
    if (!m_dataSession || !m_browser || m_browser->TableName().empty() || RefusedValueWaits()) {
        ui->actFilter->setChecked(m_filtered);
        return;
    }
    if (m_filtered) {
        _updateFormForFilteredStatus(false, QString());
    } else {
        QString text;
        ui->actFilter->setChecked(false);
        if (PromptForFilter(text)) {
            _updateFormForFilteredStatus(true, text);
        } else {
            m_filtered = false;
            _updateFormForFilteredStatus(false, QString());
        }
    }
    RefreshRowCount();
    ui->actFilter->setChecked(m_filtered);
}

void TfrmODBCData::btnRemoveFilterClick() {
    actFilterExecute();
    saveGridSettings();
}

void TfrmODBCData::actFindFilterExecute() {
    if (m_filtered)
        btnEditFilterClick();
    else
        actFilterExecute();
}

void TfrmODBCData::btnEditFilterClick() {
    if (!m_dataSession || !m_browser || RefusedValueWaits())
        return;
    QString text;
    if (!PromptForFilter(text))
        return;
    _updateFormForFilteredStatus(true, text);
    RefreshRowCount();
}

// --- refresh ---

void TfrmODBCData::WirelessChange() {
    if (m_refreshTimer.isActive())
        return; // the pending refresh runs after this change
    const qint64 since = m_sinceRefresh.isValid() ? m_sinceRefresh.elapsed() : RefreshIntervalMs;
    if (since >= RefreshIntervalMs)
        Handle([this] { actRefreshExecute(); });
    else
        m_refreshTimer.start(static_cast<int>(RefreshIntervalMs - since));
}

void TfrmODBCData::actRefreshExecute() {
    m_refreshTimer.stop();
    m_sinceRefresh.start();
    ++m_refreshCount;
    if (!m_dataSession)
        return;
    if (m_refreshing) {
        // One more after the one under way, not a queue of them.
        m_refreshAgain = true;
        return;
    }
    m_refreshing = true;
    if (!m_browser) {
        Reconnect();
        return;
    }
    m_model->Refresh([this](std::exception_ptr error) {
        if (!error) {
            FinishRefresh();
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& failure) {
            LogError("Data viewer: refresh failed, connecting again: " + ExceptionText(failure));
        }
        Reconnect();
    });
}

void TfrmODBCData::Reconnect() {
    saveGridSettings();
    populateGridWithTableData([this] {
        Guarded([this] {
            loadGridSettings();
            FinishRefresh();
        });
    });
}

void TfrmODBCData::FinishRefresh() {
    m_refreshing = false;
    if (m_browser) {
        ui->actFilter->setChecked(m_filtered);
        RefreshRowCount();
    }
    if (std::exchange(m_refreshAgain, false))
        Handle([this] { actRefreshExecute(); });
}

// --- grid actions ---

void TfrmODBCData::MoveCurrent(int rowStep, int columnStep) {
    QTableView* grid = ui->grdTableData;
    const QModelIndex current = grid->currentIndex();
    if (m_model->rowCount() == 0 || m_model->columnCount() == 0)
        return;
    int row = current.isValid() ? current.row() : 0;
    int column = current.isValid() ? current.column() : 0;
    row = std::clamp(row + rowStep, 0, m_model->rowCount() - 1);
    column = std::clamp(column + columnStep, 0, m_model->columnCount() - 1);
    CommitEditor();
    grid->setCurrentIndex(m_model->index(row, column));
}

// Hands the text of an open cell editor to the model.
void TfrmODBCData::CommitEditor() {
    QTableView* grid = ui->grdTableData;
    // An open cell editor is the focused child of the grid.
    QWidget* editor = QApplication::focusWidget();
    if (editor && editor != grid && grid->isAncestorOf(editor)) {
        emit grid->itemDelegate()->commitData(editor);
        emit grid->itemDelegate()->closeEditor(editor, QAbstractItemDelegate::NoHint);
    }
}

void TfrmODBCData::actEditExecute() {
    const QModelIndex current = ui->grdTableData->currentIndex();
    if (!m_browser || !current.isValid())
        return;
    if (!m_model->EditRow(current.row())) {
        ShowRejected();
        return;
    }
    ui->grdTableData->edit(current);
}

void TfrmODBCData::ShowRejected() {
    if (m_model->RejectedColumn() < 0)
        return;
    // Queued: the grid may be changing its current row right now.
    QMetaObject::invokeMethod(
        this,
        [this] {
            const int row = m_model->PendingRow();
            const int column = m_model->RejectedColumn();
            if (row >= 0 && column >= 0)
                ui->grdTableData->setCurrentIndex(m_model->index(row, column));
        },
        Qt::QueuedConnection);
}

void TfrmODBCData::actInsertExecute() {
    if (!m_browser)
        return;
    CommitEditor();
    const QModelIndex current = ui->grdTableData->currentIndex();
    const int row = current.isValid() ? current.row() : 0;
    // The grid's current row moves down with the rows below the new one, then
    // comes back to it: neither move leaves the new row.
    m_placingNewRow = true;
    try {
        if (m_model->InsertRowAt(row))
            ui->grdTableData->setCurrentIndex(m_model->index(row, current.isValid() ? current.column() : 0));
        else
            ShowRejected();
    } catch (...) {
        m_placingNewRow = false;
        throw;
    }
    m_placingNewRow = false;
    RefreshRowCount();
}

void TfrmODBCData::actPostExecute() {
    CommitEditor();
    if (m_model->State() == TZel_TableModel::Browse)
        return;
    if (!m_model->Post())
        ShowRejected();
}

void TfrmODBCData::actDeleteExecute() {
    const QModelIndex current = ui->grdTableData->currentIndex();
    if (!m_browser || !current.isValid())
        return;
    m_model->DeleteRowAt(current.row());
    ShowRejected();
    RefreshRowCount();
}

// --- events ---

bool TfrmODBCData::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->grdTableData && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        // Enter in a cell editor reaches the grid too, while the editor's text
        // is still on its way to the row: post after that has arrived.
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            QMetaObject::invokeMethod(ui->actPost, &QAction::trigger, Qt::QueuedConnection);
            return true;
        }
        // Escape outside a cell editor gives up the row being edited or inserted.
        if (key == Qt::Key_Escape && m_model->State() != TZel_TableModel::Browse && !m_model->IsWriting()) {
            Handle([this] { m_model->Cancel(); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmODBCData::closeEvent(QCloseEvent* event) {
    // Leaving the view (or the program) while the database has not answered:
    // wait for it or cancel it, as the operator answers; a pending row keeps
    // its changes either way.
    Guarded([this] { FinishWork(); });
    Guarded([this] { saveGridSettings(); });
    m_closed = true;
    hide();
    event->accept();
}
