#pragma once

#include <QIcon>
#include <QPixmap>

// Pictures of our own, drawn at run time so that they are sharp at any size:
// the tray's three states, the application icon, and the pictures of the
// splash window and the about box.
enum class TTrayPicture { Disabled, Enabled, EnabledActive };

QIcon DrawTrayIcon(TTrayPicture picture);
QIcon DrawApplicationIcon();
// size is in device-independent pixels; the picture is drawn at
// devicePixelRatio (the ratio of the widget that shows it), so it stays sharp
// on a scaled screen.
QPixmap DrawSplashPicture(const QSize& size, const QString& version, qreal devicePixelRatio = 1.0);
// The client monitor's activity meter at level 0 (off) to 4, 65 x 26.
QPixmap DrawDataLight(int level, qreal devicePixelRatio = 1.0);
