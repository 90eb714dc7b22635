#pragma once

#include <QIcon>
#include <QPixmap>

// Pictures of our own, drawn at run time so that they are sharp at any size:
// the tray's three states, the application icon, and the pictures of the
// splash window and the about box.
enum class TTrayPicture { Disabled, Enabled, EnabledActive };

QIcon DrawTrayIcon(TTrayPicture picture);
QIcon DrawApplicationIcon();
QPixmap DrawSplashPicture(const QSize& size, const QString& version);
