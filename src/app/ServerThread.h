#pragma once

#include <QObject>
#include <QThread>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

// A thread running an event loop on TEpollEventDispatcher: where the server
// lives in the program with windows, so that the window and the handhelds
// never wait for each other. Other threads hand it work through Post (and
// forget it) or Call (and wait for it); both go through Qt's posted events,
// which the dispatcher's burst test covers.
class TServerThread {
public:
    TServerThread();
    // Ends the loop and joins the thread; whatever is still posted is dropped.
    ~TServerThread();
    TServerThread(const TServerThread&) = delete;
    TServerThread& operator=(const TServerThread&) = delete;

    // Lives on the thread: the parent or owner of the server's objects there.
    QObject* Context() const { return m_context.get(); }
    bool IsCurrent() const { return QThread::currentThread() == &m_thread; }

    void Post(std::function<void()> work);

    // Runs work on the thread and returns what it returns, or raises what it
    // raised. The loop there never blocks, so the wait is one pass at most.
    // Run at once when called on the thread itself.
    template <typename F> auto Call(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (IsCurrent())
            return work();
        std::exception_ptr failure;
        if constexpr (std::is_void_v<R>) {
            Block([&] {
                try {
                    work();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (failure)
                std::rethrow_exception(failure);
        } else {
            std::optional<R> result;
            Block([&] {
                try {
                    result.emplace(work());
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (failure)
                std::rethrow_exception(failure);
            return std::move(*result);
        }
    }

private:
    void Block(const std::function<void()>& work);

    QThread m_thread;
    std::unique_ptr<QObject> m_context;
};
