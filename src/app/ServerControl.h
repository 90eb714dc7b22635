#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/ServerSnapshot.h"
#include "app/ServerThread.h"
#include "app/ZelApplication.h"
#include "base/Exception.h"
#include "base/Zel_EventLogger.h"

class TZel_WirelessPrefsMgr;

// The program's server as the window sees it: the server and its
// application run on a thread of their own; the window reads snapshots of
// them and sends requests. Use it from one thread (the GUI thread); its
// notifications run there too, after the snapshot they announce.
//
// Requests (enable, disconnect, apply) wait for the server's thread to run
// them, which takes one pass of a loop that never blocks; a request's effect
// is in Snapshot() when it returns.
class TServerControl {
public:
    explicit TServerControl(TZel_WirelessPrefsMgr* prefs);
    // Frees the server on its thread, then ends the thread.
    ~TServerControl();
    TServerControl(const TServerControl&) = delete;
    TServerControl& operator=(const TServerControl&) = delete;

    // TZelApplication::Create on the server's thread; logSink is called on
    // whatever thread logs. Raises what Create raised.
    void Create(TZelLogger::Sink logSink);
    void EnableServer();
    void SetEnabled(bool on);
    void restartServer();
    void DisconnectAll();
    // Closes the connection of the listed client with this Id; false when
    // the server has freed it meanwhile.
    bool Disconnect(uint64_t id);
    void CleanupClosedClients();
    void Terminate();
    void ReleaseServer();

    // Runs work with the application on the server's thread and returns
    // what it returns; raises when the server has not been created.
    template <typename F> auto Call(F&& work) {
        return m_thread.Call([&] {
            if (!m_zel || !m_zel->Server())
                throw Exception("The server has not been created");
            return work(*m_zel);
        });
    }

    // The latest copy of the server's state.
    const TServerSnapshot& Snapshot() const { return m_snapshot; }
    bool HasServer() const { return m_snapshot.Exists; }
    bool IsEnabled() const { return m_snapshot.Enabled; }
    std::string StatusText() const { return m_snapshot.StatusText; }
    // Takes a new snapshot now (the notifications follow only real changes).
    void Refresh();

    // After a snapshot that follows an enable or disable.
    std::function<void()> OnStatusChange;
    // After a snapshot that follows a handheld's arrival or departure.
    std::function<void()> OnClientAddDrop;
    // After every snapshot the server's thread sends (at most one per 200 ms).
    std::function<void()> OnChange;

    // Runs tasks posted from any thread on the thread that made this object,
    // in order; what is posted after this object is gone is dropped.
    TEventLoopMailbox::TPoster Poster() const { return m_inbox.Poster(); }

private:
    class THost;
    void Receive(const TServerSnapshot& shot, int reasons);

    TZel_WirelessPrefsMgr* m_prefs;
    // On the GUI thread: where the server's thread sends snapshots. Made
    // before the thread and freed after it has ended.
    TEventLoopMailbox m_inbox;
    TServerThread m_thread;
    // Server thread only.
    std::unique_ptr<TZelApplication> m_zel;
    THost* m_host = nullptr; // a child of the thread's context
    uint64_t m_serial = 0;   // of the last snapshot taken
    // GUI thread only.
    TServerSnapshot m_snapshot;
};
