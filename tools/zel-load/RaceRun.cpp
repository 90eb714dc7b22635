#include "RaceRun.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "LoadHandheld.h"
#include "protocol/WirelessMessage.h"

namespace {

constexpr size_t kFailuresShown = 10;
constexpr auto kRetryPause = std::chrono::milliseconds(100);

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::chrono::steady_clock::duration AsDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

void AppendValue(TZelWirelessMessageSend& msg, const char* type, int field, const std::string& value) {
    msg.AppendText(type, 2);
    msg.AppendInt(field, 3);
    msg.AppendInt(static_cast<int>(value.size()), 8);
    msg.AppendText(value, static_cast<int>(value.size()));
}

// Serves one connection until done() holds; false when it ended or the deadline passed.
bool Drive(TLoadHandheld& handheld, std::chrono::steady_clock::time_point deadline,
           const std::function<bool()>& done, const TLoadHandheld::FrameSink& sink) {
    while (!done()) {
        if (handheld.Handle() < 0)
            return false;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return false;
        pollfd watched{handheld.Handle(), static_cast<short>(POLLIN | (handheld.WantsWrite() ? POLLOUT : 0)),
                       0};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
        if (::poll(&watched, 1, static_cast<int>(std::min<int64_t>(ms, 100))) <= 0)
            continue;
        bool alive = true;
        if ((watched.revents & (POLLOUT | POLLERR)) && handheld.WantsWrite())
            alive = handheld.Writable();
        if (alive && (watched.revents & (POLLIN | POLLHUP | POLLERR)))
            alive = handheld.Readable(sink);
        if (!alive)
            return false;
    }
    return true;
}

} // namespace

TRaceRun::TRaceRun(const TLoadOptions& options) : m_options(options) {}

TRaceRun::~TRaceRun() {
    if (m_log)
        std::fclose(m_log);
}

std::string TRaceRun::ServerName(size_t server) const {
    const auto& [host, port] = m_options.Servers[server];
    return host + ":" + std::to_string(port);
}

void TRaceRun::LogPost(const std::string& key, int handheld, int attempt, const std::string& value,
                       size_t server, const char* outcome, const std::string& detail) {
    std::string clean = detail;
    std::replace_if(
        clean.begin(), clean.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    std::lock_guard lock(m_mutex);
    if (m_log) {
        // Flushed line by line: a test may watch the log while the run goes on.
        std::fprintf(m_log, "%s\t%d\t%d\t%s\t%s\t%s\t%s\n", key.c_str(), handheld, attempt, value.c_str(),
                     ServerName(server).c_str(), outcome, clean.c_str());
        std::fflush(m_log);
    }
}

// One handheld: one connection at a time, kept from key to key while it serves.
void TRaceRun::Handheld(int index, std::barrier<>& barrier) {
    const int number = m_options.FirstHandheld + index;
    size_t server = static_cast<size_t>(index) % m_addresses.size();
    std::unique_ptr<TLoadHandheld> connection;
    std::string replyType;
    std::string replyPayload;
    bool replied = false;
    const TLoadHandheld::FrameSink sink = [&](TLoadHandheld&, const std::string& type, const char* payload,
                                              int length) {
        replyType = type;
        replyPayload.assign(payload, static_cast<size_t>(std::max(length, 0)));
        replied = true;
    };
    auto nextServer = [&] {
        connection.reset();
        server = (server + 1) % m_addresses.size();
    };

    sockaddr_in local{};
    const bool bound = LocalBindAddress(m_options, local);
    for (int k = 1; k <= m_options.RaceKeys; ++k) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%02d", k);
        const std::string key = m_options.KeyPrefix + suffix;
        barrier.arrive_and_wait();
        if (m_options.KeyPause > 0)
            std::this_thread::sleep_for(AsDuration(m_options.KeyPause));
        const Clock::time_point giveUp = Clock::now() + AsDuration(m_options.TimeLimit);
        int attempt = 0;
        bool finished = false;
        while (!finished && Clock::now() < giveUp) {
            if (!connection || connection->Phase() != TLoadHandheld::TPhase::Open) {
                connection = std::make_unique<TLoadHandheld>(number, m_options.Session);
                connection->SerialPrefix = m_options.SerialPrefix;
                const Clock::time_point openBy =
                    std::min(giveUp, Clock::now() + AsDuration(m_options.Timeout));
                if (!connection->Connect(m_addresses[server], bound ? &local : nullptr) ||
                    !Drive(
                        *connection, openBy,
                        [&] { return connection->Phase() == TLoadHandheld::TPhase::Open; }, sink)) {
                    nextServer();
                    std::this_thread::sleep_for(kRetryPause);
                    continue;
                }
            }
            ++attempt;
            const std::string value = "h" + std::to_string(number) + "a" + std::to_string(attempt);
            TZelWirelessMessageSend& msg = connection->Message();
            msg.Clear();
            msg.MessageType = "PDAPOST";
            AppendValue(msg, "WK", 0, key);
            AppendValue(msg, "WF", 1, value);
            replied = false;
            {
                std::lock_guard lock(m_mutex);
                m_tally.Posts += 1;
                m_tally.Reposts += attempt > 1 ? 1 : 0;
            }
            const Clock::time_point replyBy = Clock::now() + AsDuration(m_options.Timeout);
            if (!connection->Send(msg) || !Drive(
                                              *connection, replyBy, [&] { return replied; }, sink)) {
                const bool broken = connection->Handle() < 0;
                LogPost(key, number, attempt, value, server, broken ? "broken" : "timeout",
                        broken ? connection->Error() : "no reply within the timeout");
                nextServer();
                continue;
            }
            finished = true;
            if (replyType == "PCCOUNT") {
                LogPost(key, number, attempt, value, server, "acked", replyPayload);
                std::lock_guard lock(m_mutex);
                m_tally.Acknowledged += 1;
            } else {
                const std::string text = replyType == "PCERR" && !replyPayload.empty()
                                             ? std::string(replyPayload.c_str() + 1)
                                             : replyType;
                LogPost(key, number, attempt, value, server, "refused", text);
                std::lock_guard lock(m_mutex);
                m_tally.Refused += 1;
                if (m_failures.size() < kFailuresShown)
                    m_failures.push_back("handheld " + std::to_string(number) + " " + key + ": " + replyType +
                                         " " + text);
            }
        }
        if (!finished) {
            std::lock_guard lock(m_mutex);
            m_tally.Unacknowledged += 1;
            if (m_failures.size() < kFailuresShown)
                m_failures.push_back("handheld " + std::to_string(number) + " " + key +
                                     ": not acknowledged within " + std::to_string(m_options.TimeLimit) +
                                     " s");
        }
    }
}

int TRaceRun::Run() {
    for (const auto& [host, port] : m_options.Servers) {
        sockaddr_in& address = m_addresses.emplace_back();
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1)
            continue;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
            std::fprintf(stderr, "zel-load: cannot resolve %s\n", host.c_str());
            return 2;
        }
        address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    if (!m_options.PostLog.empty()) {
        m_log = std::fopen(m_options.PostLog.c_str(), "w");
        if (!m_log) {
            std::fprintf(stderr, "zel-load: cannot write %s: %s\n", m_options.PostLog.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    const Clock::time_point start = Clock::now();
    std::barrier<> barrier(m_options.Handhelds);
    std::vector<std::thread> threads;
    for (int i = 0; i < m_options.Handhelds; ++i)
        threads.emplace_back([this, i, &barrier] { Handheld(i, barrier); });
    for (std::thread& thread : threads)
        thread.join();
    const double seconds = Seconds(Clock::now() - start);

    // The same figures as a sentence and, with --kv, as a "kv" line.
    const auto print = [&](const char* format) {
        std::printf(format, m_options.Handhelds, m_addresses.size(), m_options.RaceKeys,
                    static_cast<long long>(m_tally.Posts), static_cast<long long>(m_tally.Acknowledged),
                    static_cast<long long>(m_tally.Reposts), static_cast<long long>(m_tally.Refused),
                    static_cast<long long>(m_tally.Unacknowledged), seconds);
    };
    print("zel-load race: %d handhelds on %zu servers, %d keys, %lld posts, %lld acknowledged, "
          "%lld re-posts, %lld refused, %lld not acknowledged, %.2f s\n");
    if (m_options.KeyValue)
        print("kv kind=race handhelds=%d servers=%zu keys=%d posts=%lld acked=%lld reposts=%lld "
              "refused=%lld unacked=%lld seconds=%.3f\n");
    for (const std::string& failure : m_failures)
        std::fprintf(stderr, "zel-load: %s\n", failure.c_str());
    std::fflush(stdout);
    return m_tally.Refused + m_tally.Unacknowledged == 0 ? 0 : 1;
}
