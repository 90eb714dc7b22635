#include "ui/GuiEventDispatcher.h"

#include <QCoreApplication>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformintegration.h>
#include <qpa/qwindowsysteminterface.h>

TGuiEventDispatcher::TGuiEventDispatcher(QObject* parent) : TEpollEventDispatcher(parent) {}

TGuiEventDispatcher::~TGuiEventDispatcher() = default;

bool TGuiEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    bool sent = TEpollEventDispatcher::processEvents(flags);
    if (!m_platformAsked) {
        if (QPlatformIntegration* integration = QGuiApplicationPrivate::platformIntegration()) {
            m_platformAsked = true;
            m_platform.reset(integration->createEventDispatcher());
        }
    }
    // The platform's dispatcher watches nothing of ours: its pass costs the
    // same however many handhelds are connected, and it never waits.
    if (m_platform)
        sent = m_platform->processEvents(flags & ~QEventLoop::WaitForMoreEvents) || sent;
    return QWindowSystemInterface::sendWindowSystemEvents(flags) || sent;
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
    // The platform's own pass then polls one descriptor of its own instead
    // of iterating a GLib main context.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication::setEventDispatcher(new TGuiEventDispatcher);
    return true;
}
