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
    ui->imgSplash->setPixmap(DrawSplashPicture(QSize(kWidth, kHeight),
                                               QString::fromStdString(GetVersionInfoString("FileVersion"))));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(kShowMs);
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { close(); }); });
}

TfrmSplashScreen::~TfrmSplashScreen() = default;

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
