#pragma once

#include <cstdint>
#include <vector>

// Latencies of one request kind and what went wrong with its replies.
class TLatencyStats {
public:
    void Add(int64_t nanoseconds, int64_t requestBytes, int64_t replyBytes);
    int64_t Count() const { return static_cast<int64_t>(m_samples.size()); }
    // The q-quantile (0..1) in microseconds, nearest rank; 0 without samples.
    double PercentileMicros(double q);
    double MaxMicros() const;
    double AverageRequestBytes() const;
    double AverageReplyBytes() const;
    void Merge(const TLatencyStats& other);

    int64_t Wrong = 0;
    int64_t Missing = 0;
    int64_t Refused = 0; // "PCERR" replies taken as expected (--refusals-ok)

private:
    std::vector<int64_t> m_samples;
    bool m_sorted = true;
    int64_t m_requestBytes = 0;
    int64_t m_replyBytes = 0;
};
