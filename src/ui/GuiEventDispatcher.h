#pragma once

#include <memory>

#include "net/EpollEventDispatcher.h"

// The epoll dispatcher with the window system's events delivered. The
// platform plugin (xcb, wayland, offscreen) reads its connection on a thread
// of its own and wakes this dispatcher; each pass then lets the platform's
// own dispatcher do its part without waiting (xcb turns what it read into
// window-system events there) and sends the queued window-system events, as
// Qt's platform dispatchers do. The wait itself, the sockets and the timers
// stay with epoll, so idle handhelds cost the GUI program no more than the
// headless server.
class TGuiEventDispatcher : public TEpollEventDispatcher {
public:
    explicit TGuiEventDispatcher(QObject* parent = nullptr);
    ~TGuiEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

private:
    // Created at the first pass after the platform plugin is loaded.
    std::unique_ptr<QAbstractEventDispatcher> m_platform;
    bool m_platformAsked = false;
};

// Makes the main thread use TGuiEventDispatcher. Call before the
// QApplication is constructed; Qt takes ownership. ZEL_EVENT_DISPATCHER=qt
// keeps the platform's own dispatcher. True when installed.
bool InstallGuiEventDispatcher();
