#pragma once

#include <QObject>
#include <functional>

// Owner of the server's change notifications when no window is shown: each
// WM_WIRELESS_CHANGE runs the clean-up that the client monitor's refresh
// would, so that ended connections do not pile up in a long-running server.
class THeadlessHost : public QObject {
public:
    explicit THeadlessHost(std::function<void()> onWirelessChange, QObject* parent = nullptr);

protected:
    bool event(QEvent* event) override;

private:
    std::function<void()> m_onWirelessChange;
};
