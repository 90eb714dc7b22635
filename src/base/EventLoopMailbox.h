#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Functions posted from any thread run on the thread that made the mailbox,
// from its event loop, in the order they were posted. Posters hold a
// TPoster, which stays valid after the mailbox is gone; what is posted then
// is dropped (and freed on the posting thread).
class TEventLoopMailbox {
public:
    using Task = std::function<void()>;

    class TPoster {
    public:
        // Posts nowhere until assigned a mailbox's poster.
        TPoster() = default;
        // False when the mailbox is gone and the task was dropped.
        bool Post(Task task) const;

    private:
        friend class TEventLoopMailbox;
        struct TShared;
        explicit TPoster(std::shared_ptr<TShared> shared) : m_shared(std::move(shared)) {}
        std::shared_ptr<TShared> m_shared;
    };

    TEventLoopMailbox();
    ~TEventLoopMailbox();
    TEventLoopMailbox(const TEventLoopMailbox&) = delete;
    TEventLoopMailbox& operator=(const TEventLoopMailbox&) = delete;

    TPoster Poster() const { return TPoster(m_shared); }
    // Runs what has been posted so far, without waiting for the event loop;
    // returns how many tasks ran.
    int RunPosted();

private:
    std::shared_ptr<TPoster::TShared> m_shared;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
