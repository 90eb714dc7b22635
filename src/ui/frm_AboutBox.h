#pragma once

#include <QDialog>
#include <memory>

class QTimer;

namespace Ui {
class TfrmAboutBox;
}

// The about box: picture, version and web site. Closes on a click on the
// picture, on OK, or after 18 seconds; half a second after it is shown it
// brings itself to the front once more (the menu that opened it may have
// taken the focus back).
class TfrmAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAboutBox(QWidget* parent = nullptr);
    ~TfrmAboutBox() override;

    static constexpr int kCloseMs = 18000;
    static constexpr int kPopupMs = 500;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void StopTimers();

    std::unique_ptr<Ui::TfrmAboutBox> ui;
    QTimer* timerClose;
    QTimer* timerPopup;
};
