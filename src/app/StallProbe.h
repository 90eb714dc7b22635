#pragma once

#include <QBasicTimer>
#include <QObject>
#include <chrono>
#include <cstdio>
#include <string>

// A diagnostic for benchmarks: a fast timer on the event loop that measures
// how late it fires, i.e. how long the loop was kept from serving anything.
// Every report interval it appends "<epoch_ms> <max_late_us>" to a file: the
// time of the line and the longest lateness since the line before.
class TStallProbe : public QObject {
public:
    // Opens fileName for appending; throws std::runtime_error when it cannot.
    TStallProbe(const std::string& fileName, int intervalMs = 2, int reportMs = 1000,
                QObject* parent = nullptr);
    ~TStallProbe() override;
    TStallProbe(const TStallProbe&) = delete;
    TStallProbe& operator=(const TStallProbe&) = delete;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    using Clock = std::chrono::steady_clock;

    std::FILE* m_file = nullptr;
    QBasicTimer m_timer;
    Clock::duration m_interval;
    Clock::duration m_report;
    Clock::time_point m_last;
    Clock::time_point m_reportStart;
    Clock::duration m_maxLate{};
};
