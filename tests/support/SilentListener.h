#pragma once

// A loopback socket that listens and never accepts: the kernel completes the
// handshake, and nothing ever reads or answers (a hung host, a firewall that
// swallows the replies). Port() is 0 when it could not listen.
class TSilentListener {
public:
    TSilentListener();
    ~TSilentListener();
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;

    // Stops listening: a connection attempt is refused from then on.
    void Close();
    int Port() const { return m_port; }

private:
    int m_handle = -1;
    int m_port = 0;
};
