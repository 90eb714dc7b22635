#include "ui/frm_ClientList.h"

#include "app/ZelApplication.h"

TfrmClientList::TfrmClientList(TZelApplication& app, QWidget* parent) : QWidget(parent), m_app(app) {
    setObjectName(QStringLiteral("TfrmClientList"));
    setWindowTitle(QStringLiteral("Client List"));
}

TfrmClientList::~TfrmClientList() = default;

void TfrmClientList::WirelessChange() {
    RefreshClientList();
}

void TfrmClientList::RefreshClientList() {
    m_app.CleanupClosedClients();
}

void TfrmClientList::AppendLogText(const QString&) {}

void TfrmClientList::ServerStatusChanged() {}
