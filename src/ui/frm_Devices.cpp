#include "ui/frm_Devices.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/ServerControl.h"
#include "app/ServerSnapshot.h"
#include "base/DeviceRegistry.h"
#include "ui/DeviceActions.h"
#include "ui/GuardedCall.h"

namespace {

constexpr int kKeyRole = Qt::UserRole + 1;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// Sortable as text: the newest last seen sorts first when descending.
QString TimeText(const QDateTime& time) {
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
}

QString DecisionText(const TDeviceRecord& record) {
    if (record.Decision.empty())
        return {};
    return Text(record.Decision + ", by " + record.DecisionBy + " " +
                TimeText(record.DecisionTime).toStdString());
}

} // namespace

TfrmDevices::TfrmDevices(TServerControl& app, QWidget* parent) : QWidget(parent), m_app(app) {
    setObjectName(QStringLiteral("frmDevices"));
    setWindowTitle(QStringLiteral("Devices"));
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    auto* filterLabel = new QLabel(QStringLiteral("&Filter:"), this);
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("edtFilter"));
    m_filter->setAccessibleName(QStringLiteral("Filter devices"));
    m_filter->setPlaceholderText(QStringLiteral("serial, user, model, address or state"));
    m_filter->setClearButtonEnabled(true);
    filterLabel->setBuddy(m_filter);
    m_countText = new QLabel(this);
    m_countText->setObjectName(QStringLiteral("lblCount"));
    top->addWidget(filterLabel);
    top->addWidget(m_filter, 1);
    top->addWidget(m_countText);
    layout->addLayout(top);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("lstDevices"));
    m_list->setAccessibleName(QStringLiteral("Devices"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setHeaderLabels({QStringLiteral("Serial"), QStringLiteral("User"), QStringLiteral("Model"),
                             QStringLiteral("OS"), QStringLiteral("State"), QStringLiteral("Sessions"),
                             QStringLiteral("First seen"), QStringLiteral("Last seen"),
                             QStringLiteral("Last address"), QStringLiteral("Last decision")});
    m_list->setSortingEnabled(true);
    m_list->sortByColumn(colLastSeen, Qt::DescendingOrder);
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_list->header()->setStretchLastSection(true);
    layout->addWidget(m_list, 1);

    auto* actions = new QHBoxLayout;
    for (int i = 0; i < 5; ++i) {
        const TDeviceActions::TActionItem& item = TDeviceActions::kActions[i];
        m_buttons[i] = new QPushButton(QString::fromLatin1(item.Label), this);
        m_buttons[i]->setObjectName(QStringLiteral("btn") + QString::fromLatin1(item.Name));
        actions->addWidget(m_buttons[i]);
        connect(m_buttons[i], &QPushButton::clicked, this, [this, action = item.Action] {
            Guarded([this, action] {
                TDeviceActions::Decide(this, m_app, m_jobs, m_registry, SelectedKey(), action,
                                       [this] { RefreshDevices(); });
            });
        });
    }
    actions->addStretch(1);
    layout->addLayout(actions);

    auto* accept = new QHBoxLayout;
    auto* minutesLabel = new QLabel(QStringLiteral("Accept new devices for"), this);
    m_minutes = new QSpinBox(this);
    m_minutes->setObjectName(QStringLiteral("spnAcceptMinutes"));
    m_minutes->setRange(1, 7 * 24 * 60);
    m_minutes->setValue(10);
    m_minutes->setSuffix(QStringLiteral(" minutes"));
    m_minutes->setAccessibleName(QStringLiteral("Accept new devices for minutes"));
    minutesLabel->setBuddy(m_minutes);
    m_accept = new QPushButton(QStringLiteral("Acce&pt new devices"), this);
    m_accept->setObjectName(QStringLiteral("btnAcceptNew"));
    m_stopAccept = new QPushButton(QStringLiteral("S&top accepting"), this);
    m_stopAccept->setObjectName(QStringLiteral("btnStopAccepting"));
    m_acceptText = new QLabel(this);
    m_acceptText->setObjectName(QStringLiteral("lblAcceptNew"));
    accept->addWidget(minutesLabel);
    accept->addWidget(m_minutes);
    accept->addWidget(m_accept);
    accept->addWidget(m_stopAccept);
    accept->addWidget(m_acceptText, 1);
    layout->addLayout(accept);

    connect(m_accept, &QPushButton::clicked, this, [this] { Guarded([this] { AcceptNewClicked(true); }); });
    connect(m_stopAccept, &QPushButton::clicked, this,
            [this] { Guarded([this] { AcceptNewClicked(false); }); });
    connect(m_filter, &QLineEdit::textChanged, this, [this] { Guarded([this] { ApplyFilter(); }); });
    connect(m_list, &QTreeWidget::itemSelectionChanged, this,
            [this] { Guarded([this] { UpdateButtons(); }); });
    m_acceptEnds.setSingleShot(true);
    connect(&m_acceptEnds, &QTimer::timeout, this, [this] { Guarded([this] { UpdateAcceptText(); }); });

    UpdateAcceptText();
    UpdateButtons();
    WirelessChange();
}

TfrmDevices::~TfrmDevices() = default;

struct TfrmDevices::TDeviceList {
    const TDeviceRegistry* Registry = nullptr;
    uint64_t Generation = 0;
    std::vector<TDeviceRecord> Devices;
    QDateTime AcceptNewUntil;
};

void TfrmDevices::WirelessChange() {
    const TServerSnapshot& snapshot = m_app.Snapshot();
    if (snapshot.Devices != m_registry) {
        m_registry = snapshot.Devices;
        m_shownRegistry = nullptr;
        UpdateButtons();
    }
    if (m_registry &&
        (m_registry.get() != m_shownRegistry || snapshot.DevicesGeneration != m_shownGeneration))
        RefreshDevices();
}

void TfrmDevices::RefreshDevices() {
    if (!m_registry)
        return;
    // One read at a time; changes meanwhile are read once it is in.
    if (m_reading) {
        m_readAgain = true;
        return;
    }
    m_reading = true;
    auto list = std::make_shared<TDeviceList>();
    m_jobs.Run(
        [registry = m_registry, list](TZel_JobRunner::TControl&) {
            try {
                registry->Refresh(); // one stat unless the file changed
            } catch (const std::exception&) {
                // An unreadable file keeps what was read last; the server logs the failure.
            }
            list->Registry = registry.get();
            list->Generation = registry->Generation();
            list->Devices = registry->List();
            list->AcceptNewUntil = registry->AcceptNewUntil();
        },
        [this, list](std::exception_ptr error) {
            m_reading = false;
            if (!error)
                ShowList(*list);
            if (m_readAgain) {
                m_readAgain = false;
                RefreshDevices();
            }
        });
}

void TfrmDevices::ShowList(const TDeviceList& list) {
    m_shownRegistry = list.Registry;
    m_shownGeneration = list.Generation;
    m_acceptNewUntil = list.AcceptNewUntil;
    UpdateAcceptText();

    const std::string selected = SelectedKey();
    m_list->setSortingEnabled(false);
    m_list->clear();
    for (const TDeviceRecord& record : list.Devices) {
        auto* row = new QTreeWidgetItem(m_list);
        const QString texts[colCount] = {
            record.BySerial ? Text(record.Serial) : Text(record.Key),
            Text(record.UserName),
            Text(record.Model),
            Text(record.OperatingSystem),
            Text(record.AccessText()),
            record.State == TDeviceState::Allowed
                ? (record.Sessions.empty() ? QStringLiteral("all") : Text(SessionListText(record.Sessions)))
                : QString(),
            TimeText(record.FirstSeen),
            TimeText(record.LastSeen),
            Text(record.LastAddress),
            DecisionText(record),
        };
        for (int i = 0; i < colCount; ++i)
            row->setText(i, texts[i]);
        row->setData(colSerial, kKeyRole, Text(record.Key));
        if (record.State == TDeviceState::Waiting)
            row->setIcon(colSerial, style()->standardIcon(QStyle::SP_MessageBoxWarning));
        else if (record.State == TDeviceState::Refused)
            row->setIcon(colSerial, style()->standardIcon(QStyle::SP_DialogCancelButton));
    }
    m_list->setSortingEnabled(true);
    if (!selected.empty())
        SelectDevice(selected);
    ApplyFilter();
}

std::string TfrmDevices::SelectedKey() const {
    const QList<QTreeWidgetItem*> rows = m_list->selectedItems();
    return rows.isEmpty() ? std::string() : rows.front()->data(colSerial, kKeyRole).toString().toStdString();
}

bool TfrmDevices::SelectDevice(const std::string& key) {
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        if (row->data(colSerial, kKeyRole).toString().toStdString() == key) {
            m_list->setCurrentItem(row);
            row->setSelected(true);
            return true;
        }
    }
    return false;
}

void TfrmDevices::ApplyFilter() {
    const QString filter = m_filter->text().trimmed();
    int shown = 0;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        bool match = filter.isEmpty();
        for (int c = 0; c < colCount && !match; ++c)
            match = row->text(c).contains(filter, Qt::CaseInsensitive);
        row->setHidden(!match);
        if (match)
            ++shown;
        else if (row->isSelected())
            row->setSelected(false);
    }
    const int total = m_list->topLevelItemCount();
    m_countText->setText(shown == total ? QStringLiteral("%1 devices").arg(total)
                                        : QStringLiteral("%1 of %2 devices").arg(shown).arg(total));
    UpdateButtons();
}

void TfrmDevices::UpdateButtons() {
    const bool selected = m_registry && !SelectedKey().empty();
    for (QPushButton* button : m_buttons)
        button->setEnabled(selected);
    m_accept->setEnabled(m_registry != nullptr);
}

void TfrmDevices::UpdateAcceptText() {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const bool open = m_registry && m_acceptNewUntil.isValid() && now < m_acceptNewUntil;
    const QString text = open ? QStringLiteral("New devices are accepted until %1")
                                    .arg(m_acceptNewUntil.toLocalTime().toString(QStringLiteral("hh:mm")))
                              : QStringLiteral("The window for new devices is closed");
    if (m_acceptText->text() != text)
        m_acceptText->setText(text);
    m_stopAccept->setEnabled(open);
    if (open)
        m_acceptEnds.start(int(std::min<qint64>(now.msecsTo(m_acceptNewUntil) + 1, 24 * 3600 * 1000)));
    else
        m_acceptEnds.stop();
}

void TfrmDevices::AcceptNewClicked(bool open) {
    TDeviceActions::AcceptNewFor(this, m_jobs, m_registry, open ? m_minutes->value() : 0,
                                 [this] { RefreshDevices(); });
}
