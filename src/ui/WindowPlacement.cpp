#include "ui/WindowPlacement.h"

#include <algorithm>

namespace {

qint64 Area(const QRect& rect) {
    return rect.isEmpty() ? 0 : qint64(rect.width()) * rect.height();
}

} // namespace

QRect ClampToScreens(const QRect& saved, const QList<QRect>& screens) {
    if (screens.isEmpty())
        return saved;
    QRect screen = screens.front();
    qint64 best = 0;
    for (const QRect& candidate : screens) {
        const qint64 shown = Area(candidate.intersected(saved));
        if (shown > best) {
            best = shown;
            screen = candidate;
        }
    }
    QRect placed(saved.topLeft(), QSize(std::clamp(saved.width(), 1, screen.width()),
                                        std::clamp(saved.height(), 1, screen.height())));
    placed.moveLeft(std::clamp(placed.left(), screen.left(), screen.right() - placed.width() + 1));
    placed.moveTop(std::clamp(placed.top(), screen.top(), screen.bottom() - placed.height() + 1));
    return placed;
}
