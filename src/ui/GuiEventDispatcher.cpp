#include "ui/GuiEventDispatcher.h"

#include <QCoreApplication>
#include <qpa/qwindowsysteminterface.h>

TGuiEventDispatcher::TGuiEventDispatcher(QObject* parent) : TEpollEventDispatcher(parent) {}

// Window-system events queued while the base pass ran (the platform's reader
// wakes this thread when it queues one) are sent before the next wait; one
// queued before the pass made its wait return at once.
bool TGuiEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    const bool sentOthers = TEpollEventDispatcher::processEvents(flags);
    return QWindowSystemInterface::sendWindowSystemEvents(flags) || sentOthers;
}

bool InstallGuiEventDispatcher() {
    if (qgetenv("ZEL_EVENT_DISPATCHER").toLower() == "qt")
        return false;
    QAbstractEventDispatcher* current = QAbstractEventDispatcher::instance();
    if (dynamic_cast<TGuiEventDispatcher*>(current))
        return true;
    if (current || QCoreApplication::instance()) {
        qWarning("InstallGuiEventDispatcher: too late, the event loop already has a dispatcher");
        return false;
    }
    QCoreApplication::setEventDispatcher(new TGuiEventDispatcher);
    return true;
}
