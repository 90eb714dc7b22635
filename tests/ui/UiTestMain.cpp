#include <QApplication>
#include <gtest/gtest.h>

#include "support/EventLoop.h"

// Widgets need a QApplication, created before any test, on Qt's own
// dispatcher as in the program; the rest of the support (PumpUntil, RunPumping)
// then drives its loop.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Real widgets, never a real screen (test discovery runs without the CTest environment).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Zel Wireless Server"));
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
