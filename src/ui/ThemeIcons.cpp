#include "ui/ThemeIcons.h"

#include <QApplication>

void UseFallbackIconTheme() {
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QStringLiteral("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    // Without a desktop the platform names no theme at all.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QStringLiteral("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
}

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback) {
    const QString themeName = QString::fromLatin1(name);
    if (QIcon::hasThemeIcon(themeName))
        return QIcon::fromTheme(themeName);
    return QApplication::style()->standardIcon(fallback);
}
