#pragma once

#include <netinet/in.h>

#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "LoadOptions.h"

// The race mode: every handheld posts each of the same new keys at the same
// moment, and posts a key again on a new connection (to the next server of the
// list) when no reply came within the timeout or the connection broke, as
// handhelds in the field do. Every post is written to the post log, so that
// the table can be checked against it afterwards.
class TRaceRun {
public:
    explicit TRaceRun(const TLoadOptions& options);
    ~TRaceRun();
    TRaceRun(const TRaceRun&) = delete;
    TRaceRun& operator=(const TRaceRun&) = delete;

    // Runs and prints the report; returns the exit status.
    int Run();

private:
    using Clock = std::chrono::steady_clock;

    struct TTally {
        int64_t Posts = 0;
        int64_t Acknowledged = 0;
        int64_t Reposts = 0;
        int64_t Refused = 0;
        int64_t Unacknowledged = 0; // handheld and key pairs given up
    };

    void Handheld(int index, std::barrier<>& barrier);
    void LogPost(const std::string& key, int handheld, int attempt, const std::string& value, size_t server,
                 const char* outcome, const std::string& detail);
    std::string ServerName(size_t server) const;

    const TLoadOptions& m_options;
    std::vector<sockaddr_in> m_addresses;
    std::mutex m_mutex; // the log and the tally
    std::FILE* m_log = nullptr;
    TTally m_tally;
    std::vector<std::string> m_failures;
};
