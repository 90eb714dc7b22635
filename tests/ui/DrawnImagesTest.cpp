// Pictures drawn at run time stay sharp on a scaled screen: each is drawn at
// the device pixel ratio it is asked for, and the windows that show them ask
// for their own. The scaled run (QT_SCALE_FACTOR=2) repeats these.
#include <gtest/gtest.h>

#include <QLabel>

#include "ui/DrawnImages.h"
#include "ui/frm_SplashScreen.h"

namespace {

TEST(DrawnImagesDevicePixelRatio, PicturesAreDrawnAtTheRatioAsked) {
    for (const qreal ratio : {1.0, 2.0, 3.0}) {
        SCOPED_TRACE(ratio);
        const QPixmap meter = DrawDataLight(4, ratio);
        EXPECT_EQ(meter.devicePixelRatio(), ratio);
        EXPECT_EQ(meter.deviceIndependentSize(), QSizeF(65, 26));
        EXPECT_EQ(meter.size(), QSize(65, 26) * ratio);
        const QPixmap splash = DrawSplashPicture(QSize(480, 181), QStringLiteral("1.0"), ratio);
        EXPECT_EQ(splash.devicePixelRatio(), ratio);
        EXPECT_EQ(splash.deviceIndependentSize(), QSizeF(480, 181));
    }
    // The levels differ: the meter shows something.
    EXPECT_NE(DrawDataLight(0, 2.0).toImage(), DrawDataLight(4, 2.0).toImage());
}

TEST(DrawnImagesDevicePixelRatio, SplashFollowsItsScreen) {
    TfrmSplashScreen splash;
    splash.show();
    const QPixmap picture = splash.findChild<QLabel*>(QStringLiteral("imgSplash"))->pixmap();
    EXPECT_EQ(picture.devicePixelRatio(), splash.devicePixelRatioF());
    EXPECT_EQ(picture.deviceIndependentSize(), QSizeF(TfrmSplashScreen::kWidth, TfrmSplashScreen::kHeight));
    splash.hide();
}

} // namespace
