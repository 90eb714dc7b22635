#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include "support/EventLoop.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"

namespace {

TEST(MessageBoxSeam, AnswererGetsExactTextAndDecides) {
    std::vector<TMessageBox::Request> seen;
    TMessageBox::SetAnswerer([&](const TMessageBox::Request& r) {
        seen.push_back(r);
        return QMessageBox::No;
    });
    EXPECT_EQ(TMessageBox::Ask(nullptr, QStringLiteral("Exit?")), QMessageBox::No);
    TMessageBox::Post(QStringLiteral("from a callback"));
    TMessageBox::SetAnswerer({});
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].text, QStringLiteral("Exit?"));
    EXPECT_EQ(seen[0].title, QStringLiteral("Zel Wireless Server"));
    EXPECT_FALSE(seen[0].posted);
    EXPECT_TRUE(seen[1].posted);
}

TEST(MessageBoxSeam, PostedMessagesShowOneAtATimeWithoutBlocking) {
    TMessageBox::Post(QStringLiteral("first"));
    TMessageBox::Post(QStringLiteral("second"));
    auto visibleBoxes = [] {
        std::vector<QMessageBox*> boxes;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                boxes.push_back(box);
        return boxes;
    };
    ASSERT_TRUE(PumpUntil([&] { return visibleBoxes().size() == 1; }));
    EXPECT_EQ(visibleBoxes().front()->text(), QStringLiteral("first"));
    EXPECT_EQ(TMessageBox::PendingPosts(), 2);
    visibleBoxes().front()->close();
    ASSERT_TRUE(PumpUntil([&] {
        auto boxes = visibleBoxes();
        return boxes.size() == 1 && boxes.front()->text() == QStringLiteral("second");
    }));
    visibleBoxes().front()->close();
    ASSERT_TRUE(PumpUntil([] { return TMessageBox::PendingPosts() == 0; }));
}

TEST(GuardedCall, EscapingErrorReachesTheHandlerOnly) {
    std::string handled;
    SetExceptionHandler([&](const std::exception& e) { handled = e.what(); });
    bool after = false;
    Guarded([] { throw std::runtime_error("boom"); });
    Guarded([&] { after = true; });
    SetExceptionHandler({});
    EXPECT_EQ(handled, "boom");
    EXPECT_TRUE(after);
}

TEST(FileDialogSeam, NextNameAnswersOnce) {
    TFileDialog::SetNextFileName(QStringLiteral("/tmp/x.txt"));
    EXPECT_EQ(TFileDialog::GetSaveFileName(nullptr, {}, {}, {}), QStringLiteral("/tmp/x.txt"));
}

} // namespace
