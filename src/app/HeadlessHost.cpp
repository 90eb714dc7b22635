#include "app/HeadlessHost.h"

#include <QEvent>

#include "server/WirelessServer.h"

THeadlessHost::THeadlessHost(std::function<void()> onWirelessChange, QObject* parent)
    : QObject(parent), m_onWirelessChange(std::move(onWirelessChange)) {}

bool THeadlessHost::event(QEvent* event) {
    if (event->type() == static_cast<QEvent::Type>(WM_WIRELESS_CHANGE)) {
        if (m_onWirelessChange)
            m_onWirelessChange();
        return true;
    }
    return QObject::event(event);
}
