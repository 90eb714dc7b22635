#pragma once

#include <QThread>

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <type_traits>

#include "base/EventLoopMailbox.h"

class QObject;

// A thread running an event loop on TEpollEventDispatcher: where the server
// lives in the program with windows, so that the window and the handhelds
// never wait for each other. Other threads hand it work through Post (and
// forget it) or Call (and wait for it); both go through a TEventLoopMailbox,
// whose standard mutex a thread checker sees.
class TServerThread {
public:
    TServerThread();
    // Ends the loop and joins the thread; whatever is still posted is dropped.
    ~TServerThread();
    TServerThread(const TServerThread&) = delete;
    TServerThread& operator=(const TServerThread&) = delete;

    // Lives on the thread: the parent of the server's objects there.
    QObject* Context() const;
    bool IsCurrent() const;

    void Post(std::function<void()> work) const;

    // Runs work on the thread and returns what it returns, or raises what it
    // raised. The loop there never blocks, so the wait is one pass at most.
    // Runs at once when called on the thread itself.
    template <typename F> auto Call(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (IsCurrent())
            return work();
        std::promise<std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>> done;
        Post([&] {
            try {
                if constexpr (std::is_void_v<R>) {
                    work();
                    done.set_value(true);
                } else {
                    done.set_value(std::optional<R>(work()));
                }
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
        if constexpr (std::is_void_v<R>)
            done.get_future().get();
        else
            return std::move(*done.get_future().get());
    }

private:
    class TLoop;
    std::unique_ptr<TLoop> m_thread;
    TEventLoopMailbox::TPoster m_poster;
};
