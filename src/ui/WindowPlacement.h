#pragma once

#include <QList>
#include <QRect>

// Where a saved window goes on the screens that exist now: the saved size,
// cut to the screen, on the screen that shows most of it (the first screen
// when none does), moved just far enough to be wholly on it. A placement
// saved on a monitor that has since gone never opens off-screen.
QRect ClampToScreens(const QRect& saved, const QList<QRect>& screens);
