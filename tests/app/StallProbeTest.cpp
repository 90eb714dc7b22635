#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/StallProbe.h"
#include "support/EventLoop.h"

namespace {

struct TProbeLine {
    long long EpochMs = 0;
    long long MaxLateUs = 0;
};

std::vector<TProbeLine> ReadLines(const std::string& fileName) {
    std::vector<TProbeLine> lines;
    std::ifstream in(fileName);
    TProbeLine line;
    while (in >> line.EpochMs >> line.MaxLateUs)
        lines.push_back(line);
    return lines;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A blocked loop shows in the line of its interval, and only there: the
// probe reports the longest delay since its previous line.
TEST(StallProbe, ReportsABlockedLoopInItsIntervalOnly) {
    EnsureTestApp();
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("stall.txt")).toStdString();
    const long long before = NowMs();
    {
        TStallProbe probe(file, 2, 100);
        PumpFor(350);
        QTimer::singleShot(0, [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
        PumpFor(600);
    }
    const long long after = NowMs();
    const std::vector<TProbeLine> lines = ReadLines(file);
    ASSERT_GE(lines.size(), 5u);
    size_t stalled = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_GE(lines[i].EpochMs, before);
        EXPECT_LE(lines[i].EpochMs, after);
        if (i > 0) {
            EXPECT_GT(lines[i].EpochMs, lines[i - 1].EpochMs);
        }
        EXPECT_GE(lines[i].MaxLateUs, 0);
        if (lines[i].MaxLateUs >= 280000) {
            EXPECT_LE(lines[i].MaxLateUs, 1000000);
            ++stalled;
        }
    }
    EXPECT_EQ(stalled, 1u);
}

TEST(StallProbe, AFileThatCannotBeOpenedIsAnError) {
    EnsureTestApp();
    EXPECT_THROW(TStallProbe("/nonexistent-folder/stall.txt"), std::runtime_error);
}

} // namespace
