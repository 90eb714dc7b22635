#include "ui/frm_SplashScreen.h"

#include "ui_frm_SplashScreen.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "base/Zel_Lib.h"
#include "ui/DrawnImages.h"
#include "ui/GuardedCall.h"

TfrmSplashScreen::TfrmSplashScreen(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint),
      ui(std::make_unique<Ui::TfrmSplashScreen>()), Timer1(new QTimer(this)) {
    ui->setupUi(this);
    setFixedSize(kWidth, kHeight);
    DrawPicture();
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(kShowMs);
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { close(); }); });
}

TfrmSplashScreen::~TfrmSplashScreen() = default;

// At the ratio of the screen it shows on, drawn again when it moves to another.
void TfrmSplashScreen::DrawPicture() {
    ui->imgSplash->setPixmap(DrawSplashPicture(QSize(kWidth, kHeight),
                                               QString::fromStdString(GetVersionInfoString("FileVersion")),
                                               devicePixelRatioF()));
}

bool TfrmSplashScreen::event(QEvent* event) {
    if (event->type() == QEvent::ScreenChangeInternal)
        DrawPicture();
    return QWidget::event(event);
}

void TfrmSplashScreen::ShowModal() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect placed(QPoint(), size());
        placed.moveCenter(screen->availableGeometry().center());
        move(placed.topLeft());
    }
    setWindowModality(Qt::ApplicationModal);
    show();
    Timer1->start();
}

void TfrmSplashScreen::closeEvent(QCloseEvent* event) {
    Timer1->stop();
    event->accept();
    emit closed();
}
