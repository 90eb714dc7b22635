#include "LatencyStats.h"

#include <algorithm>
#include <cmath>

void TLatencyStats::Add(int64_t nanoseconds, int64_t requestBytes, int64_t replyBytes) {
    m_sorted = m_sorted && (m_samples.empty() || m_samples.back() <= nanoseconds);
    m_samples.push_back(nanoseconds);
    m_requestBytes += requestBytes;
    m_replyBytes += replyBytes;
}

double TLatencyStats::PercentileMicros(double q) {
    if (m_samples.empty())
        return 0;
    if (!m_sorted) {
        std::sort(m_samples.begin(), m_samples.end());
        m_sorted = true;
    }
    const double rank = std::ceil(q * static_cast<double>(m_samples.size()));
    const size_t index =
        static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(m_samples.size()))) - 1;
    return static_cast<double>(m_samples[index]) / 1000.0;
}

double TLatencyStats::MaxMicros() const {
    return m_samples.empty()
               ? 0
               : static_cast<double>(*std::max_element(m_samples.begin(), m_samples.end())) / 1000.0;
}

double TLatencyStats::AverageRequestBytes() const {
    return m_samples.empty() ? 0
                             : static_cast<double>(m_requestBytes) / static_cast<double>(m_samples.size());
}

double TLatencyStats::AverageReplyBytes() const {
    return m_samples.empty() ? 0 : static_cast<double>(m_replyBytes) / static_cast<double>(m_samples.size());
}

void TLatencyStats::Merge(const TLatencyStats& other) {
    m_samples.insert(m_samples.end(), other.m_samples.begin(), other.m_samples.end());
    m_sorted = false;
    m_requestBytes += other.m_requestBytes;
    m_replyBytes += other.m_replyBytes;
    Wrong += other.Wrong;
    Missing += other.Missing;
    Refused += other.Refused;
}
