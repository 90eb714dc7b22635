#pragma once

class TDeletionGuard;

// Member of an object that may be freed from inside one of its own
// notifications (a socket freed by the client it serves, a client freed by
// the server). Its destruction marks every guard still on the stack, so the
// notification code can return without touching freed memory.
class TDeletionWatch {
public:
    TDeletionWatch() = default;
    ~TDeletionWatch();
    TDeletionWatch(const TDeletionWatch&) = delete;
    TDeletionWatch& operator=(const TDeletionWatch&) = delete;

private:
    friend class TDeletionGuard;
    TDeletionGuard* m_innermost = nullptr;
};

// Lives on the stack for the length of one notification; guards nest.
class TDeletionGuard {
public:
    explicit TDeletionGuard(TDeletionWatch& watch);
    ~TDeletionGuard();
    TDeletionGuard(const TDeletionGuard&) = delete;
    TDeletionGuard& operator=(const TDeletionGuard&) = delete;

    // True once the watched object has been freed.
    bool Deleted() const { return m_watch == nullptr; }

private:
    friend class TDeletionWatch;
    TDeletionWatch* m_watch;
    TDeletionGuard* m_outer;
};
