#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "LatencyStats.h"
#include "LoadHandheld.h"
#include "LoadOptions.h"
#include "LoadRequests.h"
#include "StockModel.h"

// One run of the load generator: opens the handhelds, runs the closed loop of
// requests on one thread with epoll, checks every reply and reports.
class TLoadRun {
public:
    explicit TLoadRun(const TLoadOptions& options);
    ~TLoadRun();
    TLoadRun(const TLoadRun&) = delete;
    TLoadRun& operator=(const TLoadRun&) = delete;

    // Runs and prints the report; returns the exit status.
    int Run();

private:
    using Clock = std::chrono::steady_clock;

    struct TActive {
        std::unique_ptr<TLoadHandheld> Handheld;
        std::unique_ptr<TLoadRequests> Requests;
        bool CleanedUp = false;
        bool InFlight = false;
        bool Stopped = false; // a download that went wrong is not continued
        Clock::time_point SentAt;
        int64_t RequestBytes = 0;
    };

    bool Resolve();
    void Watch(TLoadHandheld& handheld, bool added);
    bool OpenAll(std::vector<TLoadHandheld*>& handhelds);
    void Pump(int timeoutMs);
    void HandleEvent(TLoadHandheld& handheld, uint32_t events);
    void HandleReply(TLoadHandheld& handheld, const std::string& type, const char* payload, int length);
    void SendNext(TActive& active);
    void CheckTimeouts();
    void StopDownloads(const std::string& text);
    int64_t DownloadedRows() const;
    void NoteFailure(TLoadHandheld& handheld, const std::string& text);
    void Report();
    long ServerRssKib() const;

    const TLoadOptions& m_options;
    TStockModel m_model;
    sockaddr_in m_address{};
    int m_epoll = -1;
    std::vector<TActive> m_active;
    std::vector<std::unique_ptr<TLoadHandheld>> m_idle;
    std::vector<TActive*> m_activeByNumber;
    std::array<TLatencyStats, REQUEST_KIND_COUNT> m_stats;
    std::vector<std::string> m_failures;
    int64_t m_openingFailures = 0;
    bool m_sending = false;
    Clock::time_point m_measureStart;
    Clock::time_point m_measureEnd;
    Clock::time_point m_lastReply;
    int64_t m_measuredSent = 0;
    long m_rssBefore = -1;
    long m_rssActive = -1;
    long m_rssIdle = -1;
    long m_rssEnd = -1;
};
