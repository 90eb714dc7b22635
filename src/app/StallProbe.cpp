#include "app/StallProbe.h"

#include <QTimerEvent>
#include <algorithm>
#include <stdexcept>

TStallProbe::TStallProbe(const std::string& fileName, int intervalMs, int reportMs, QObject* parent)
    : QObject(parent), m_interval(std::chrono::milliseconds(intervalMs)),
      m_report(std::chrono::milliseconds(reportMs)) {
    m_file = std::fopen(fileName.c_str(), "a");
    if (!m_file)
        throw std::runtime_error("Cannot open the stall probe file " + fileName);
    m_last = m_reportStart = Clock::now();
    m_timer.start(intervalMs, Qt::PreciseTimer, this);
}

TStallProbe::~TStallProbe() {
    m_timer.stop();
    std::fclose(m_file);
}

void TStallProbe::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    const Clock::time_point now = Clock::now();
    // Measured from the last firing, so that one stall is counted once and a
    // late firing does not make the next one look early.
    m_maxLate = std::max(m_maxLate, now - m_last - m_interval);
    m_last = now;
    if (now - m_reportStart < m_report)
        return;
    const auto epochMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::fprintf(
        m_file, "%lld %lld\n", static_cast<long long>(epochMs),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(m_maxLate).count()));
    std::fflush(m_file);
    m_reportStart = now;
    m_maxLate = Clock::duration::zero();
}
