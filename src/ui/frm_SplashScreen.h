#pragma once

#include <QWidget>
#include <memory>

class QTimer;

namespace Ui {
class TfrmSplashScreen;
}

// The borderless start-up picture, centred on the screen; closes itself after
// three seconds. Modal without a nested loop of its own: the program's loop
// keeps serving while it is shown.
class TfrmSplashScreen : public QWidget {
    Q_OBJECT
public:
    explicit TfrmSplashScreen(QWidget* parent = nullptr);
    ~TfrmSplashScreen() override;

    static constexpr int kWidth = 480;
    static constexpr int kHeight = 181;
    static constexpr int kShowMs = 3000;

    // Shows it application-modal in the middle of the primary screen.
    void ShowModal();

signals:
    void closed();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void DrawPicture();
    std::unique_ptr<Ui::TfrmSplashScreen> ui;
    QTimer* Timer1;
};
