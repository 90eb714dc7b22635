#include "ui/frm_ApplicationSettings.h"

#include "ui_frm_ApplicationSettings.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include <arpa/inet.h>

#include "app/ServerControl.h"
#include "base/AccessPolicy.h"
#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "net/Zel_Socket.h"
#include "server/WirelessServer.h"
#include "ui/MessageBox.h"
#include "ui/ShownCall.h"

namespace {

constexpr int kDefaultPort = 4402;
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.toStdString();
}

TZel_WirelessPrefsMgr& Prefs() {
    if (!g_PrefsMgr)
        throw Exception(
            "TfrmApplicationSettings.FormCreate: AppSettings is unexpectedly nil, cannot continue");
    return *g_PrefsMgr;
}

// A dotted IPv4 address; 0.0.0.0 stands for every interface.
bool IsIPv4Address(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

} // namespace

TfrmApplicationSettings::TfrmApplicationSettings(TServerControl& app, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TfrmApplicationSettings>()), m_app(app) {
    ui->setupUi(this);
    MakeFormScroll();
    NameForAssistiveTechnology();

    for (QLineEdit* edit : {ui->editServerName, ui->editServerDisabledMessage, ui->editLogfile})
        connect(edit, &QLineEdit::textChanged, this, [this] { MarkModified(); });
    for (QLineEdit* edit : {ui->editIPAddress, ui->editIPPort})
        connect(edit, &QLineEdit::textChanged, this, [this] { MarkNetworkChanged(); });
    for (QCheckBox* check : {ui->chkServerEnabled, ui->chkVerboseLogging})
        connect(check, &QCheckBox::toggled, this, [this] { MarkModified(); });
    // chkNetworkEncoding marks nothing: its state is taken at the next Apply.

    connect(ui->cmdPortDefault, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { UseDefaultPort(); }); });
    connect(ui->Button1, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { BrowseLogfile(); }); });
    connect(ui->cmdViewLogfile, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { ViewLogfile(); }); });
    connect(ui->cmdClearLogfile, &QPushButton::clicked, this,
            [this] { ShownCall(this, [this] { ClearLogfile(); }); });
    connect(ui->cmdApply, &QPushButton::clicked, this, [this] { ShownCall(this, [this] { Apply(); }); });
}

TfrmApplicationSettings::~TfrmApplicationSettings() = default;

// The groups scroll when the view is smaller than they are (a small window,
// a scaled screen); Apply stays in sight below them.
void TfrmApplicationSettings::MakeFormScroll() {
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("pnlSettings"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* group : {ui->grpServer, ui->grpNetwork, ui->grpLogging}) {
        ui->layMain->removeWidget(group);
        layout->addWidget(group);
    }
    layout->addWidget(MakeAccessGroup());
    ui->layMain->removeItem(ui->spcBottom);
    delete ui->spcBottom;
    ui->spcBottom = nullptr;
    layout->addStretch(1);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("scrSettings"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);
    ui->layMain->insertWidget(0, scroll, 1);
}

QGroupBox* TfrmApplicationSettings::MakeAccessGroup() {
    auto* group = new QGroupBox(QStringLiteral("Device access"));
    group->setObjectName(QStringLiteral("grpAccess"));
    auto* form = new QFormLayout(group);
    cboNewDevices = new QComboBox(group);
    cboNewDevices->setObjectName(QStringLiteral("cboNewDevices"));
    cboNewDevices->addItem(QStringLiteral("wait for approval"), QStringLiteral("approve"));
    cboNewDevices->addItem(QStringLiteral("allow"), QStringLiteral("allow"));
    editTrustedNetworks = new QLineEdit(group);
    editTrustedNetworks->setObjectName(QStringLiteral("editTrustedNetworks"));
    editTrustedNetworks->setPlaceholderText(QStringLiteral("none"));
    editTrustedNetworks->setToolTip(QStringLiteral("Devices from these networks are allowed without approval "
                                                   "(CIDR list, e.g. 127.0.0.0/8, 192.168.10.0/24)"));
    editAllowedNetworks = new QLineEdit(group);
    editAllowedNetworks->setObjectName(QStringLiteral("editAllowedNetworks"));
    editAllowedNetworks->setPlaceholderText(QStringLiteral("any address"));
    editAllowedNetworks->setToolTip(QStringLiteral("Connections from any other address are closed at once "
                                                   "(CIDR list; empty for any address)"));
    form->addRow(QStringLiteral("Ne&w devices:"), cboNewDevices);
    form->addRow(QStringLiteral("&Trusted networks:"), editTrustedNetworks);
    form->addRow(QStringLiteral("All&owed networks:"), editAllowedNetworks);
    auto changed = [this] {
        m_accessChanged = true;
        MarkModified();
    };
    connect(cboNewDevices, &QComboBox::currentIndexChanged, this, changed);
    connect(editTrustedNetworks, &QLineEdit::textChanged, this, changed);
    connect(editAllowedNetworks, &QLineEdit::textChanged, this, changed);
    return group;
}

// Every input is named by its label (its buddy), and the two "Use Default"
// buttons and "..." say what they are for.
void TfrmApplicationSettings::NameForAssistiveTechnology() {
    for (QLabel* label : findChildren<QLabel*>())
        if (QWidget* input = label->buddy(); input && input->accessibleName().isEmpty())
            input->setAccessibleName(label->text().remove(QLatin1Char('&')));
    ui->cmdIPAddrDefault->setAccessibleDescription(QStringLiteral("Default server IP address"));
    ui->cmdPortDefault->setAccessibleDescription(QStringLiteral("Default server port number"));
    ui->Button1->setAccessibleName(QStringLiteral("Browse for the log file"));
}

const TServerSnapshot& TfrmApplicationSettings::Server() const {
    if (!m_app.HasServer())
        throw Exception("TfrmApplicationSettings: the server has not been created");
    return m_app.Snapshot();
}

void TfrmApplicationSettings::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_loaded)
        return; // shown again after being minimised: the edits stay
    try {
        FormShow();
        m_loaded = true;
    } catch (const std::exception& e) {
        // The view cannot work without its settings: say why instead of
        // leaving an empty form.
        setEnabled(false);
        TMessageBox::Show(this, Q(ExceptionText(e)), QMessageBox::Critical);
    }
}

void TfrmApplicationSettings::FormShow() {
    Prefs();
    LoadControls();
    ui->editServerName->setFocus();
    ui->editServerName->deselect();
}

void TfrmApplicationSettings::LoadControls() {
    TZel_WirelessPrefsMgr& prefs = Prefs();
    m_app.Refresh();
    const TServerSnapshot& server = Server();
    ui->editServerName->setText(Q(server.ServerName));
    ui->chkServerEnabled->setChecked(server.Enabled);
    ui->editServerDisabledMessage->setText(Q(server.DisabledMessage));
    ui->editIPAddress->setText(Q(server.IPAddress));
    ui->editIPPort->setText(QString::number(server.Port));
    ui->editLogfile->setText(Q(prefs.LogFilename));
    // Where the settings are kept: beside the program, in the user's folder or the --config file.
    ui->editConfigFile->setText(Q(prefs.IniFilename));
    ui->chkVerboseLogging->setChecked(GetVerbose());
    ui->chkNetworkEncoding->setChecked(prefs.NetworkEncoding);
    if (prefs.Diagnostics) {
        ui->chkNetworkEncoding->setVisible(true);
        ui->chkVerboseLogging->setVisible(true);
    }
    // The policy belongs to the server's thread; a file without [Access]
    // shows what is in effect there.
    struct TAccessTexts {
        bool approve = false;
        std::string trusted;
        std::string allowed;
    };
    const TAccessTexts access = m_app.Call([](TZelApplication& zel) {
        const TAccessPolicy& policy = zel.Server()->Access;
        return TAccessTexts{policy.NewDevices == TAccessPolicy::TNewDevices::Approve,
                            policy.TrustedNetworks.Text(), policy.AllowedNetworks.Text()};
    });
    cboNewDevices->setCurrentIndex(access.approve ? 0 : 1);
    editTrustedNetworks->setText(Q(access.trusted));
    editAllowedNetworks->setText(Q(access.allowed));
    // Filling the controls ran their change handlers: undo what they marked.
    m_accessChanged = false;
    m_networkChanged = false;
    SetModified(false);
}

void TfrmApplicationSettings::SetModified(bool modified) {
    m_modified = modified;
    ui->cmdApply->setEnabled(modified);
}

void TfrmApplicationSettings::MarkModified() {
    SetModified(true);
}

void TfrmApplicationSettings::MarkNetworkChanged() {
    MarkModified();
    m_networkChanged = true;
}

void TfrmApplicationSettings::UseDefaultPort() {
    ui->editIPPort->setText(QString::number(kDefaultPort));
    m_networkChanged = true;
}

// Only a changed box is checked, so that a value the server already runs
// with never blocks applying the other settings.
bool TfrmApplicationSettings::ValidateNetwork() {
    const TServerSnapshot& server = Server();
    const QString portText = ui->editIPPort->text().trimmed();
    int port = 0;
    const bool portChanged = portText != QString::number(server.Port);
    if (portChanged && (!TryTextToInt(S(portText), port) || port < kLowestPort || port > kHighestPort)) {
        TMessageBox::Show(this,
                          QStringLiteral("The server port number \"%1\" is not valid: enter a whole number "
                                         "from %2 to %3.\n\nNothing was changed.")
                              .arg(portText)
                              .arg(kLowestPort)
                              .arg(kHighestPort),
                          QMessageBox::Warning);
        ui->editIPPort->setFocus();
        return false;
    }
    const QString address = ui->editIPAddress->text().trimmed();
    if (address != Q(server.IPAddress) && !IsIPv4Address(S(address))) {
        TMessageBox::Show(this,
                          QStringLiteral("The server IP address \"%1\" is not valid: enter an IPv4 address "
                                         "such as 192.168.1.20, or 0.0.0.0 for every network interface."
                                         "\n\nNothing was changed.")
                              .arg(address),
                          QMessageBox::Warning);
        ui->editIPAddress->setFocus();
        return false;
    }
    return true;
}

bool TfrmApplicationSettings::ValidateAccess() {
    const std::pair<QLineEdit*, const char*> lists[] = {{editTrustedNetworks, "Trusted networks"},
                                                        {editAllowedNetworks, "Allowed networks"}};
    for (const auto& [edit, name] : lists) {
        try {
            TNetworkList::Parse(S(edit->text().trimmed()));
        } catch (const std::exception& e) {
            TMessageBox::Show(this,
                              QStringLiteral("%1: %2\n\nEnter networks such as 192.168.10.0/24, separated by "
                                             "commas.\n\nNothing was changed.")
                                  .arg(QString::fromLatin1(name), Q(ExceptionText(e))),
                              QMessageBox::Warning);
            edit->setFocus();
            return false;
        }
    }
    return true;
}

bool TfrmApplicationSettings::Apply() {
    if (!ValidateNetwork() || (m_accessChanged && !ValidateAccess()))
        return false;
    bool listening = false;
    const bool networkApplied = ApplyControls(listening);
    // A listening server follows a new address or port at once; only one that
    // does not listen (it is off, or could not listen) takes it when it starts.
    if (m_networkChanged && networkApplied && !listening)
        TMessageBox::Show(
            this,
            QStringLiteral("Changes to network settings will take effect when you restart the server."));
    // Nothing is pending any more: the socket has followed or will at start.
    if (networkApplied)
        m_networkChanged = false;
    SetModified(!networkApplied);
    return networkApplied;
}

// Returns false when the listening socket could not follow a new address or
// port; everything else is applied and written all the same. listening:
// whether the server listens afterwards.
bool TfrmApplicationSettings::ApplyControls(bool& listening) {
    TZel_WirelessPrefsMgr& prefs = Prefs();
    int port = Server().Port;
    if (!TryTextToInt(S(ui->editIPPort->text().trimmed()), port))
        port = Server().Port; // unchanged, see ValidateNetwork
    if (!prefs.Diagnostics) {
        ui->chkVerboseLogging->setChecked(false);
        ui->chkNetworkEncoding->setChecked(true);
    }
    const bool wantEnabled = ui->chkServerEnabled->isChecked();
    const std::string serverName = S(ui->editServerName->text());
    const std::string disabledMessage = S(ui->editServerDisabledMessage->text());
    const std::string address = S(ui->editIPAddress->text().trimmed());
    const std::string logFile = S(ui->editLogfile->text());
    const bool verbose = ui->chkVerboseLogging->isChecked();
    const bool networkEncoding = ui->chkNetworkEncoding->isChecked();
    const bool accessChanged = m_accessChanged;
    TIniFile::TBatch access;
    access.WriteString(TAccessPolicy::Section, "NewDevices", S(cboNewDevices->currentData().toString()));
    access.WriteString(TAccessPolicy::Section, "TrustedNetworks", S(editTrustedNetworks->text().trimmed()));
    access.WriteString(TAccessPolicy::Section, "AllowedNetworks", S(editAllowedNetworks->text().trimmed()));

    // The server and the preferences it writes belong to the server's thread.
    struct TOutcome {
        std::string listenFailure;
        bool enabled = false;
        bool listening = false;
        std::string address;
        int32_t port = 0;
        std::string lastError;
    };
    const TOutcome outcome = m_app.Call([&](TZelApplication& zel) {
        TZelWirelessServer& server = *zel.Server();
        server.ServerName = serverName;
        server.SetEnabled(wantEnabled);
        server.DisabledMessage = disabledMessage;
        server.IPAddress = address;
        prefs.LogFilename = logFile;
        server.Port = port;

        // New connections come in on the new address and port at once.
        const TZel_Socket* listenerBefore = server.ListenSocket.get();
        TOutcome result;
        result.listenFailure = server.FollowListenSettings();
        if (result.listenFailure.empty() && server.ListenSocket.get() != listenerBefore &&
            server.OnStatusChange)
            server.OnStatusChange(&server); // the status text names the address and port
        // A server that could not listen on the old address may on the new one.
        if (wantEnabled && !server.IsEnabled())
            server.SetEnabled(true);
        SetVerbose(verbose);
        prefs.NetworkEncoding = networkEncoding;
        // One write: the settings file is replaced once per Apply.
        prefs.WriteSettings();
        if (accessChanged) {
            // One replace of the file, then the server decides by it from the next connection on.
            prefs.GetIniFile()->WriteBatch(access);
            zel.ApplyAccessPolicy();
        }
        result.enabled = server.IsEnabled();
        result.listening = server.IsListening();
        result.address = server.IPAddress;
        result.port = server.Port;
        result.lastError = server.ListenSocket ? server.ListenSocket->LastErrorText : std::string();
        return result;
    });
    m_app.Refresh();
    m_accessChanged = false;
    listening = outcome.listening;

    if (!outcome.listenFailure.empty())
        TMessageBox::Show(
            this,
            QStringLiteral("The server cannot listen on %1:%2: %3\n\nIt goes on listening on %4:%5.")
                .arg(Q(address), QString::number(port), Q(outcome.listenFailure), Q(outcome.address),
                     QString::number(outcome.port)),
            QMessageBox::Warning);
    if (wantEnabled && !outcome.enabled)
        TMessageBox::Show(this,
                          QStringLiteral("The server could not be enabled on %1:%2: %3")
                              .arg(Q(outcome.address), QString::number(outcome.port), Q(outcome.lastError)),
                          QMessageBox::Warning);
    return outcome.listenFailure.empty();
}

void TfrmApplicationSettings::BrowseLogfile() {
    QString folder;
    const QString current = ui->editLogfile->text();
    if (!current.isEmpty())
        folder = QFileInfo(current).absolutePath();
    const QString chosen =
        TFileDialog::GetSaveFileName(this, QStringLiteral("Zel Wireless Log File"), folder, QString());
    if (!chosen.isEmpty())
        ui->editLogfile->setText(QFileInfo(chosen).absoluteFilePath());
}

void TfrmApplicationSettings::ViewLogfile() {
    const QString name = Q(Prefs().LogFilename);
    if (name.isEmpty() || !QFileInfo::exists(name)) {
        TMessageBox::Show(this, QStringLiteral("The log file \"%1\" does not exist.").arg(name),
                          QMessageBox::Information);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(name)))
        TMessageBox::Show(this, QStringLiteral("Unable to open the log file \"%1\".").arg(name),
                          QMessageBox::Warning);
}

void TfrmApplicationSettings::ClearLogfile() {
    const std::string name = Prefs().LogFilename;
    if (TMessageBox::Ask(this,
                         QStringLiteral("Are you sure you want to clear the logfile \n%1?").arg(Q(name))) ==
        QMessageBox::Yes)
        ResetLogFile(name);
}

void TfrmApplicationSettings::closeEvent(QCloseEvent* event) {
    bool allowed = false; // a failure while applying keeps the edits on screen
    ShownCall(this, [&] {
        allowed =
            !m_modified ||
            // Enter keeps the edits.
            TMessageBox::Ask(this, QStringLiteral("Do you want to apply your changes?"),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes ||
            Apply();
    });
    if (allowed)
        event->accept();
    else
        event->ignore();
}
