#pragma once

#include "net/EpollEventDispatcher.h"

// The epoll dispatcher with the window system's events delivered: the
// platform plugin (xcb, wayland, offscreen) queues its events and wakes the
// dispatcher, and each pass sends what is queued, as Qt's own platform
// dispatchers do. Idle handhelds stay as cheap as on the headless server.
class TGuiEventDispatcher : public TEpollEventDispatcher {
public:
    explicit TGuiEventDispatcher(QObject* parent = nullptr);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
};

// Makes the main thread use TGuiEventDispatcher. Call before the
// QApplication is constructed; Qt takes ownership. ZEL_EVENT_DISPATCHER=qt
// keeps the platform's own dispatcher. True when installed.
bool InstallGuiEventDispatcher();
