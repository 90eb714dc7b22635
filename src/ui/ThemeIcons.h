#pragma once

#include <QIcon>
#include <QStyle>

// The desktop's icon theme, with Adwaita behind it and a style icon as the
// last resort, so that every action carries a picture on any desktop.
void UseFallbackIconTheme();
QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback);
