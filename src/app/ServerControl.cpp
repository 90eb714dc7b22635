#include "app/ServerControl.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "server/WirelessClient.h"
#include "server/WirelessServer.h"

namespace {

// The window rebuilds what it shows at most this often, however busy the handhelds.
constexpr int kRebuildMs = 200;

enum TReason { kChange = 1, kAddDrop = 2, kStatus = 4 };

} // namespace

// On the server's thread: receives the server's change events and sends the
// window snapshots, at most one per kRebuildMs; an enable or disable is sent
// at once. Ended connections are freed before each snapshot, so that they
// never pile up whatever view is shown.
class TServerControl::THost : public QObject {
public:
    THost(TServerControl* control, QObject* parent) : QObject(parent), m_control(control) {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Publish(0); });
    }

    void Schedule(int reasons) {
        m_reasons |= reasons;
        if (m_timer.isActive())
            return;
        const qint64 since = m_last.isValid() ? m_last.elapsed() : kRebuildMs;
        m_timer.start(static_cast<int>(std::max<qint64>(0, kRebuildMs - since)));
    }

    void Publish(int reasons) {
        m_timer.stop();
        m_last.start();
        TZelApplication* zel = m_control->m_zel.get();
        if (!zel || !zel->Server())
            return;
        zel->CleanupClosedClients();
        TServerSnapshot shot = Take();
        const int all = std::exchange(m_reasons, 0) | reasons;
        TServerControl* control = m_control;
        control->Poster().Post([control, shot = std::move(shot), all] { control->Receive(shot, all); });
    }

    TServerSnapshot Take() {
        const TZelApplication* zel = m_control->m_zel.get();
        TServerSnapshot shot;
        if (zel && zel->Server())
            shot = TakeServerSnapshot(*zel->Server(), zel->StatusText());
        shot.Serial = ++m_control->m_serial;
        return shot;
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() == static_cast<QEvent::Type>(WM_WIRELESS_CHANGE)) {
            Schedule(kChange);
            return true;
        }
        return QObject::event(event);
    }

private:
    TServerControl* m_control;
    QTimer m_timer;
    QElapsedTimer m_last;
    int m_reasons = 0;
};

TServerControl::TServerControl(TZel_WirelessPrefsMgr* prefs) : m_prefs(prefs) {}

TServerControl::~TServerControl() {
    ReleaseServer();
}

void TServerControl::Create(TZelLogger::Sink logSink) {
    try {
        m_thread.Call([&] {
            if (!m_host)
                m_host = new THost(this, m_thread.Context());
            m_zel = std::make_unique<TZelApplication>(m_host, m_prefs);
            m_zel->OnStatusChange = [this] { m_host->Publish(kStatus); };
            m_zel->OnClientAddDrop = [this] { m_host->Schedule(kAddDrop); };
            m_zel->Create(std::move(logSink));
        });
    } catch (...) {
        // A late step that failed (the upgrade) leaves a server that runs.
        Refresh();
        throw;
    }
    Refresh();
}

void TServerControl::Refresh() {
    TServerSnapshot shot = m_thread.Call([this] { return m_host ? m_host->Take() : TServerSnapshot(); });
    const TServerSnapshot before = std::exchange(m_snapshot, std::move(shot));
    if (before.Enabled != m_snapshot.Enabled || before.StatusText != m_snapshot.StatusText) {
        if (OnStatusChange)
            OnStatusChange();
    }
    if (before.Clients.size() != m_snapshot.Clients.size()) {
        if (OnClientAddDrop)
            OnClientAddDrop();
    }
}

void TServerControl::Receive(const TServerSnapshot& shot, int reasons) {
    if (shot.Serial <= m_snapshot.Serial)
        return; // a request's own snapshot has overtaken it
    const TServerSnapshot before = std::exchange(m_snapshot, shot);
    if ((reasons & kStatus) && (before.Enabled != shot.Enabled || before.StatusText != shot.StatusText) &&
        OnStatusChange)
        OnStatusChange();
    if ((reasons & kAddDrop) && OnClientAddDrop)
        OnClientAddDrop();
    if (OnChange)
        OnChange();
}

void TServerControl::EnableServer() {
    Call([](TZelApplication& zel) { zel.EnableServer(); });
    Refresh();
}

void TServerControl::SetEnabled(bool on) {
    Call([on](TZelApplication& zel) { zel.Server()->SetEnabled(on); });
    Refresh();
}

void TServerControl::restartServer() {
    Call([](TZelApplication& zel) { zel.restartServer(); });
    Refresh();
}

void TServerControl::DisconnectAll() {
    Call([](TZelApplication& zel) { zel.DisconnectAll(); });
    Refresh();
}

bool TServerControl::Disconnect(uint64_t id) {
    const bool found = Call([id](TZelApplication& zel) {
        TZelWirelessClient* client = zel.Server()->FindClient(id);
        if (client)
            client->CloseConnection();
        return client != nullptr;
    });
    Refresh();
    return found;
}

void TServerControl::CleanupClosedClients() {
    Call([](TZelApplication& zel) { zel.CleanupClosedClients(); });
    Refresh();
}

void TServerControl::Terminate() {
    m_thread.Call([this] {
        if (m_zel)
            m_zel->Terminate();
    });
}

void TServerControl::ReleaseServer() {
    TServerSnapshot gone;
    gone.Serial = m_thread.Call([this] {
        // The server's last lines go through the sink as it goes.
        m_zel.reset();
        delete m_host;
        m_host = nullptr;
        return ++m_serial; // newer than any snapshot still on its way
    });
    m_snapshot = gone;
}
