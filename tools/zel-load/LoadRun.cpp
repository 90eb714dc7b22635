#include "LoadRun.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

namespace {

constexpr size_t kFailuresShown = 10;
constexpr int kPumpMs = 10;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

TLoadRun::TLoadRun(const TLoadOptions& options) : m_options(options), m_model(options.Rows) {}

TLoadRun::~TLoadRun() {
    m_active.clear();
    m_idle.clear();
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool TLoadRun::Resolve() {
    m_address.sin_family = AF_INET;
    m_address.sin_port = htons(static_cast<uint16_t>(m_options.Port));
    if (::inet_pton(AF_INET, m_options.Host.c_str(), &m_address.sin_addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(m_options.Host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        std::fprintf(stderr, "zel-load: cannot resolve %s\n", m_options.Host.c_str());
        return false;
    }
    m_address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

long TLoadRun::ServerRssKib() const {
    if (m_options.ServerPid <= 0)
        return -1;
    std::ifstream status("/proc/" + std::to_string(m_options.ServerPid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

void TLoadRun::Watch(TLoadHandheld& handheld, bool added) {
    if (handheld.Handle() < 0)
        return;
    epoll_event event{};
    event.events = EPOLLIN | (handheld.WantsWrite() ? EPOLLOUT : 0u);
    event.data.ptr = &handheld;
    ::epoll_ctl(m_epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, handheld.Handle(), &event);
}

void TLoadRun::NoteFailure(TLoadHandheld& handheld, const std::string& text) {
    const std::string line = "handheld " + std::to_string(handheld.Number()) + ": " + text;
    if (m_failures.size() < kFailuresShown)
        m_failures.push_back(line);
    TActive* active = m_activeByNumber[static_cast<size_t>(handheld.Number() - m_options.FirstHandheld)];
    if (active && active->InFlight) {
        active->InFlight = false;
        if (active->CleanedUp)
            m_stats[static_cast<size_t>(active->Requests->Kind())].Missing += 1;
        else
            m_openingFailures += 1;
    } else if (!active || !active->CleanedUp) {
        m_openingFailures += 1;
    }
    handheld.Close();
}

void TLoadRun::SendNext(TActive& active) {
    if (active.Stopped || (m_options.Downloading() && active.Requests->DownloadFinished()))
        return;
    if (m_options.Requests > 0 && m_measuredSent >= m_options.Requests) {
        m_sending = false;
        return;
    }
    TZelWirelessMessageSend& msg = active.Handheld->Message();
    active.Requests->Next(msg);
    active.RequestBytes = ZEL_HEADER_SIZE + msg.PayloadCount;
    active.SentAt = Clock::now();
    active.InFlight = true;
    if (active.SentAt >= m_measureStart)
        m_measuredSent += 1;
    if (!active.Handheld->Send(msg))
        NoteFailure(*active.Handheld, active.Handheld->Error());
}

void TLoadRun::HandleReply(TLoadHandheld& handheld, const std::string& type, const char* payload,
                           int length) {
    const Clock::time_point now = Clock::now();
    TActive* active = m_activeByNumber[static_cast<size_t>(handheld.Number() - m_options.FirstHandheld)];
    if (!active || !active->InFlight) {
        NoteFailure(handheld, "a frame " + type + " nobody asked for");
        return;
    }
    active->InFlight = false;
    if (!active->CleanedUp) {
        if (type != "PCCOUNT") {
            NoteFailure(handheld,
                        "clean-up of earlier rows failed: " + active->Requests->Check(type, payload, length));
            return;
        }
        active->CleanedUp = true;
        active->Requests->ForgetOwnRows();
        return;
    }
    std::string wrong = active->Requests->Check(type, payload, length);
    TLatencyStats& stats = m_stats[static_cast<size_t>(active->Requests->Kind())];
    if (m_options.RefusalsOk && type == "PCERR") {
        stats.Refused += 1;
        wrong.clear();
    }
    const bool measured =
        active->SentAt >= m_measureStart && (m_options.Requests > 0 || active->SentAt < m_measureEnd);
    if (measured) {
        stats.Add(std::chrono::duration_cast<std::chrono::nanoseconds>(now - active->SentAt).count(),
                  active->RequestBytes, ZEL_HEADER_SIZE + length);
        m_lastReply = now;
    }
    if (!wrong.empty()) {
        stats.Wrong += 1;
        active->Stopped = m_options.Downloading();
        if (m_failures.size() < kFailuresShown)
            m_failures.push_back("handheld " + std::to_string(handheld.Number()) + " " +
                                 RequestKindName(active->Requests->Kind()) + ": " + wrong);
    }
    if (m_sending)
        SendNext(*active);
}

void TLoadRun::HandleEvent(TLoadHandheld& handheld, uint32_t events) {
    const bool wasOpen = handheld.Phase() == TLoadHandheld::TPhase::Open;
    const bool wantedWrite = handheld.WantsWrite();
    bool alive = true;
    if ((events & (EPOLLOUT | EPOLLERR)) && wantedWrite)
        alive = handheld.Writable();
    if (alive && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        alive = handheld.Readable([this](TLoadHandheld& h, const std::string& type, const char* payload,
                                         int length) { HandleReply(h, type, payload, length); });
    if (!alive || handheld.Handle() < 0) {
        if (!handheld.Error().empty() || handheld.Phase() != TLoadHandheld::TPhase::Closed)
            NoteFailure(handheld, handheld.Error());
        return;
    }
    TActive* active = m_activeByNumber[static_cast<size_t>(handheld.Number() - m_options.FirstHandheld)];
    if (!wasOpen && handheld.Phase() == TLoadHandheld::TPhase::Open && active) {
        // Rows of its own left by an earlier run would upset the counts.
        active->Requests->BuildCleanup(handheld.Message());
        active->InFlight = true;
        active->SentAt = Clock::now();
        if (!handheld.Send(handheld.Message())) {
            NoteFailure(handheld, handheld.Error());
            return;
        }
    }
    if (handheld.Handle() >= 0 && handheld.WantsWrite() != wantedWrite)
        Watch(handheld, false);
}

void TLoadRun::Pump(int timeoutMs) {
    epoll_event events[256];
    const int count = ::epoll_wait(m_epoll, events, 256, timeoutMs);
    for (int i = 0; i < count; ++i) {
        auto* handheld = static_cast<TLoadHandheld*>(events[i].data.ptr);
        if (handheld->Handle() >= 0)
            HandleEvent(*handheld, events[i].events);
    }
}

void TLoadRun::CheckTimeouts() {
    const Clock::time_point now = Clock::now();
    const auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_options.Timeout));
    for (TActive& active : m_active)
        if (active.InFlight && active.Handheld->Handle() >= 0 && now - active.SentAt > limit)
            NoteFailure(*active.Handheld, "no reply within " + std::to_string(m_options.Timeout) + " s");
}

// The downloads still running count as missing when the time limit is over.
void TLoadRun::StopDownloads(const std::string& text) {
    for (TActive& active : m_active)
        if (active.InFlight && active.Handheld->Handle() >= 0)
            NoteFailure(*active.Handheld, text);
}

int64_t TLoadRun::DownloadedRows() const {
    int64_t rows = 0;
    for (const TActive& active : m_active)
        rows += active.Requests->Downloaded();
    return rows;
}

// Opens the handhelds a few at a time, so that the listen queue never overflows.
bool TLoadRun::OpenAll(std::vector<TLoadHandheld*>& handhelds) {
    size_t next = 0;
    const auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_options.Timeout));
    Clock::time_point lastProgress = Clock::now();
    auto settled = [this](TLoadHandheld* h) {
        if (h->Handle() < 0)
            return true;
        TActive* active = m_activeByNumber[static_cast<size_t>(h->Number() - m_options.FirstHandheld)];
        return h->Phase() == TLoadHandheld::TPhase::Open && (!active || active->CleanedUp);
    };
    sockaddr_in local{};
    const bool bound = LocalBindAddress(m_options, local);
    while (true) {
        size_t pending = 0;
        size_t done = 0;
        for (size_t i = 0; i < next; ++i)
            (settled(handhelds[i]) ? done : pending) += 1;
        if (done == handhelds.size())
            break;
        while (next < handhelds.size() && pending < static_cast<size_t>(m_options.OpeningsInFlight)) {
            TLoadHandheld& handheld = *handhelds[next++];
            if (handheld.Connect(m_address, bound ? &local : nullptr))
                Watch(handheld, true);
            else
                NoteFailure(handheld, handheld.Error());
            ++pending;
            lastProgress = Clock::now();
        }
        const size_t before = done;
        Pump(kPumpMs);
        size_t after = 0;
        for (size_t i = 0; i < next; ++i)
            after += settled(handhelds[i]) ? 1 : 0;
        if (after != before)
            lastProgress = Clock::now();
        else if (Clock::now() - lastProgress > limit) {
            for (size_t i = 0; i < next; ++i)
                if (!settled(handhelds[i]))
                    NoteFailure(*handhelds[i],
                                "opening took longer than " + std::to_string(m_options.Timeout) + " s");
        }
    }
    size_t open = 0;
    for (TLoadHandheld* h : handhelds)
        open += h->Handle() >= 0 ? 1 : 0;
    return open == handhelds.size();
}

int TLoadRun::Run() {
    if (!Resolve())
        return 2;
    RaiseDescriptorLimit();
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    const int total = m_options.Handhelds + m_options.Idle;
    m_activeByNumber.assign(static_cast<size_t>(total), nullptr);
    m_active.resize(static_cast<size_t>(m_options.Handhelds));
    std::vector<TLoadHandheld*> activeHandhelds;
    for (int i = 0; i < m_options.Handhelds; ++i) {
        const int number = m_options.FirstHandheld + i;
        TActive& active = m_active[static_cast<size_t>(i)];
        active.Handheld = std::make_unique<TLoadHandheld>(number, m_options.Session);
        active.Handheld->SerialPrefix = m_options.SerialPrefix;
        active.Requests = std::make_unique<TLoadRequests>(
            m_options, m_model, number, m_options.Seed * 1000003u + static_cast<uint64_t>(number));
        m_activeByNumber[static_cast<size_t>(i)] = &active;
        activeHandhelds.push_back(active.Handheld.get());
    }
    std::vector<TLoadHandheld*> idleHandhelds;
    for (int i = 0; i < m_options.Idle; ++i) {
        m_idle.push_back(std::make_unique<TLoadHandheld>(m_options.FirstHandheld + m_options.Handhelds + i,
                                                         m_options.Session));
        m_idle.back()->SerialPrefix = m_options.SerialPrefix;
        idleHandhelds.push_back(m_idle.back().get());
    }

    m_rssBefore = ServerRssKib();
    OpenAll(activeHandhelds);
    m_rssActive = ServerRssKib();
    OpenAll(idleHandhelds);
    m_rssIdle = ServerRssKib();
    if (m_options.StartDelay > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(m_options.StartDelay));

    const Clock::time_point start = Clock::now();
    const auto asDuration = [](double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    // A download is measured whole, from its first request to its last reply.
    const bool downloading = m_options.Downloading();
    m_measureStart = downloading ? start : start + asDuration(m_options.Warmup);
    m_measureEnd = downloading ? Clock::time_point::max() : m_measureStart + asDuration(m_options.Duration);
    const Clock::time_point giveUp = start + asDuration(m_options.TimeLimit);
    m_sending = true;
    for (TActive& active : m_active)
        if (active.Handheld->Handle() >= 0)
            SendNext(active);
    Clock::time_point lastTimeoutCheck = start;
    while (m_sending) {
        Pump(kPumpMs);
        const Clock::time_point now = Clock::now();
        if (m_options.Requests == 0 && now >= m_measureEnd)
            m_sending = false;
        if (downloading && now >= giveUp) {
            StopDownloads("download not finished within " + std::to_string(m_options.TimeLimit) + " s");
            m_sending = false;
        }
        if (now - lastTimeoutCheck > std::chrono::milliseconds(100)) {
            CheckTimeouts();
            lastTimeoutCheck = now;
        }
        bool anyAlive = false;
        for (const TActive& active : m_active)
            anyAlive = anyAlive || active.InFlight;
        if (!anyAlive)
            break;
    }
    // The replies still on their way.
    while (true) {
        bool inFlight = false;
        for (const TActive& active : m_active)
            inFlight = inFlight || (active.InFlight && active.Handheld->Handle() >= 0);
        if (!inFlight)
            break;
        Pump(kPumpMs);
        CheckTimeouts();
    }
    if (m_options.Requests > 0 || downloading)
        m_measureEnd = std::max(m_lastReply, m_measureStart);
    m_rssEnd = ServerRssKib();
    Report();

    int64_t bad = m_openingFailures;
    for (const TLatencyStats& stats : m_stats)
        bad += stats.Wrong + stats.Missing;
    return bad == 0 ? 0 : 1;
}

void TLoadRun::Report() {
    const double seconds = std::max(Seconds(m_measureEnd - m_measureStart), 1e-9);
    std::printf("zel-load: %d handhelds, %d idle, session %d, %.2f s measured after %.2f s warm-up\n",
                m_options.Handhelds, m_options.Idle, m_options.Session, seconds, m_options.Warmup);
    std::printf("%-8s %10s %10s %9s %9s %9s %9s %6s %8s %9s\n", "kind", "requests", "req/s", "p50 us",
                "p90 us", "p99 us", "max us", "wrong", "missing", "reply B");
    TLatencyStats all;
    auto line = [&](const char* name, TLatencyStats& stats) {
        std::printf("%-8s %10lld %10.1f %9.1f %9.1f %9.1f %9.1f %6lld %8lld %9.0f\n", name,
                    static_cast<long long>(stats.Count()), static_cast<double>(stats.Count()) / seconds,
                    stats.PercentileMicros(0.5), stats.PercentileMicros(0.9), stats.PercentileMicros(0.99),
                    stats.MaxMicros(), static_cast<long long>(stats.Wrong),
                    static_cast<long long>(stats.Missing), stats.AverageReplyBytes());
    };
    for (int k = 0; k < REQUEST_KIND_COUNT; ++k) {
        TLatencyStats& stats = m_stats[static_cast<size_t>(k)];
        if (stats.Count() == 0 && stats.Wrong == 0 && stats.Missing == 0)
            continue;
        line(RequestKindName(static_cast<TRequestKind>(k)), stats);
        all.Merge(stats);
    }
    line("all", all);
    if (m_openingFailures > 0)
        std::printf("openings failed: %lld\n", static_cast<long long>(m_openingFailures));
    if (all.Refused > 0)
        std::printf("refused (PCERR, taken as expected): %lld\n", static_cast<long long>(all.Refused));
    if (m_options.Downloading())
        std::printf("downloaded %lld rows in %.3f s\n", static_cast<long long>(DownloadedRows()), seconds);
    if (m_options.ServerPid > 0)
        std::printf("server RSS KiB: %ld before, %ld with the active handhelds, %ld with the idle ones too, "
                    "%ld at the end\n",
                    m_rssBefore, m_rssActive, m_rssIdle, m_rssEnd);
    if (m_options.KeyValue) {
        for (int k = 0; k < REQUEST_KIND_COUNT; ++k) {
            TLatencyStats& stats = m_stats[static_cast<size_t>(k)];
            if (stats.Count() == 0)
                continue;
            std::printf("kv kind=%s handhelds=%d idle=%d requests=%lld rps=%.1f p50_us=%.1f p90_us=%.1f "
                        "p99_us=%.1f max_us=%.1f wrong=%lld missing=%lld refused=%lld request_bytes=%.1f "
                        "reply_bytes=%.1f seconds=%.3f%s\n",
                        RequestKindName(static_cast<TRequestKind>(k)), m_options.Handhelds, m_options.Idle,
                        static_cast<long long>(stats.Count()), static_cast<double>(stats.Count()) / seconds,
                        stats.PercentileMicros(0.5), stats.PercentileMicros(0.9),
                        stats.PercentileMicros(0.99), stats.MaxMicros(), static_cast<long long>(stats.Wrong),
                        static_cast<long long>(stats.Missing), static_cast<long long>(stats.Refused),
                        stats.AverageRequestBytes(), stats.AverageReplyBytes(), seconds,
                        k == static_cast<int>(TRequestKind::Download)
                            ? (" rows=" + std::to_string(DownloadedRows())).c_str()
                            : "");
        }
        std::printf("kv kind=all requests=%lld rps=%.1f wrong=%lld missing=%lld opening_failures=%lld "
                    "rss_before_kib=%ld "
                    "rss_active_kib=%ld rss_idle_kib=%ld rss_end_kib=%ld\n",
                    static_cast<long long>(all.Count()), static_cast<double>(all.Count()) / seconds,
                    static_cast<long long>(all.Wrong), static_cast<long long>(all.Missing),
                    static_cast<long long>(m_openingFailures), m_rssBefore, m_rssActive, m_rssIdle, m_rssEnd);
    }
    for (const std::string& failure : m_failures)
        std::fprintf(stderr, "zel-load: %s\n", failure.c_str());
    std::fflush(stdout);
}
