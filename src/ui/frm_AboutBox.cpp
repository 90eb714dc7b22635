#include "ui/frm_AboutBox.h"

#include "ui_frm_AboutBox.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include "base/Zel_Lib.h"
#include "ui/DrawnImages.h"
#include "ui/GuardedCall.h"
#include "ui/ProductLinks.h"

TfrmAboutBox::TfrmAboutBox(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmAboutBox>()), timerClose(new QTimer(this)),
      timerPopup(new QTimer(this)) {
    ui->setupUi(this);
    const QString version = QString::fromStdString(GetVersionInfoString("FileVersion"));
    ui->imgPicture->setPixmap(DrawSplashPicture(QSize(480, 181), version));
    ui->imgPicture->installEventFilter(this);
    QFont name = ui->lblProductName->font();
    name.setBold(true);
    name.setPointSizeF(name.pointSizeF() * 1.3);
    ui->lblProductName->setFont(name);
    ui->lblVersion->setText(QStringLiteral("Version %1").arg(version));
    ui->lblWebsite->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(VendorWebsite().toString()));
    connect(ui->btnOK, &QDialogButtonBox::accepted, this, [this] { Guarded([this] { accept(); }); });

    timerClose->setObjectName(QStringLiteral("timerClose"));
    timerClose->setSingleShot(true);
    timerClose->setInterval(kCloseMs);
    connect(timerClose, &QTimer::timeout, this, [this] { Guarded([this] { close(); }); });
    timerPopup->setObjectName(QStringLiteral("timerPopup"));
    timerPopup->setSingleShot(true);
    timerPopup->setInterval(kPopupMs);
    connect(timerPopup, &QTimer::timeout, this, [this] {
        Guarded([this] {
            raise();
            activateWindow();
        });
    });
}

TfrmAboutBox::~TfrmAboutBox() = default;

void TfrmAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    timerClose->start();
    timerPopup->start();
}

void TfrmAboutBox::StopTimers() {
    timerClose->stop();
    timerPopup->stop();
}

void TfrmAboutBox::closeEvent(QCloseEvent* event) {
    StopTimers();
    QDialog::closeEvent(event);
}

void TfrmAboutBox::done(int result) {
    StopTimers();
    QDialog::done(result);
}

bool TfrmAboutBox::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->imgPicture && event->type() == QEvent::MouseButtonRelease) {
        Guarded([this] { close(); });
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
