#include "ui/DrawnImages.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <functional>

namespace {

const QColor kBlue(0x1f, 0x5f, 0xa8);
const QColor kGreen(0x2e, 0xa0, 0x43);
const QColor kBrightGreen(0x6c, 0xe0, 0x5a);
const QColor kGrey(0x8a, 0x8f, 0x96);

// A handheld terminal: body, screen and keys, in a square of side s.
void DrawHandheld(QPainter& p, qreal s, const QColor& body) {
    p.setPen(QPen(body.darker(160), s / 32));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(s * 0.22, s * 0.30, s * 0.40, s * 0.64), s * 0.06, s * 0.06);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe8, 0xf4, 0xff));
    p.drawRect(QRectF(s * 0.28, s * 0.37, s * 0.28, s * 0.22));
    p.setBrush(body.lighter(150));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawRect(QRectF(s * (0.285 + col * 0.095), s * (0.65 + row * 0.085), s * 0.07, s * 0.055));
}

// Radio waves from the handheld's aerial; waves = 0 draws none.
void DrawWaves(QPainter& p, qreal s, const QColor& color, int waves) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, s / 14, Qt::SolidLine, Qt::RoundCap));
    const QPointF centre(s * 0.62, s * 0.30);
    for (int i = 1; i <= waves; ++i) {
        const qreal r = s * 0.12 * i;
        p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), 0 * 16, 90 * 16);
    }
}

QPixmap Square(int size, const std::function<void(QPainter&, qreal)>& draw) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p, size);
    return pixmap;
}

QIcon Sizes(const std::function<void(QPainter&, qreal)>& draw) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(Square(size, draw));
    return icon;
}

} // namespace

QIcon DrawTrayIcon(TTrayPicture picture) {
    return Sizes([picture](QPainter& p, qreal s) {
        switch (picture) {
        case TTrayPicture::Disabled:
            DrawHandheld(p, s, kGrey);
            p.setPen(QPen(QColor(0xc0, 0x1c, 0x28), s / 10, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(s * 0.62, s * 0.08), QPointF(s * 0.92, s * 0.38));
            p.drawLine(QPointF(s * 0.92, s * 0.08), QPointF(s * 0.62, s * 0.38));
            break;
        case TTrayPicture::Enabled:
            DrawHandheld(p, s, kBlue);
            DrawWaves(p, s, kGreen, 2);
            break;
        case TTrayPicture::EnabledActive:
            DrawHandheld(p, s, kBlue.lighter(125));
            DrawWaves(p, s, kBrightGreen, 3);
            break;
        }
    });
}

QIcon DrawApplicationIcon() {
    return Sizes([](QPainter& p, qreal s) {
        QLinearGradient back(0, 0, 0, s);
        back.setColorAt(0, QColor(0x3d, 0x8b, 0xe0));
        back.setColorAt(1, QColor(0x17, 0x4a, 0x8a));
        p.setPen(Qt::NoPen);
        p.setBrush(back);
        p.drawRoundedRect(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92), s * 0.18, s * 0.18);
        DrawHandheld(p, s, QColor(0xf4, 0xf6, 0xf8));
        DrawWaves(p, s, kBrightGreen, 3);
    });
}

QPixmap DrawSplashPicture(const QSize& size, const QString& version, qreal devicePixelRatio) {
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient back(0, 0, size.width(), size.height());
    back.setColorAt(0, QColor(0x23, 0x6a, 0xc0));
    back.setColorAt(1, QColor(0x10, 0x36, 0x66));
    p.fillRect(QRect(QPoint(), size), back);

    const int side = size.height() - 60;
    p.drawPixmap(24, 30, DrawApplicationIcon().pixmap(QSize(side, side), devicePixelRatio));

    p.setPen(Qt::white);
    QFont title = p.font();
    title.setPixelSize(24);
    title.setBold(true);
    p.setFont(title);
    const QRect text(side + 44, 34, size.width() - side - 56, 36);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Zel Wireless Server"));
    QFont small = p.font();
    small.setPixelSize(14);
    small.setBold(false);
    p.setFont(small);
    p.drawText(text.translated(0, 40), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Handheld data collection over TCP"));
    p.setPen(QColor(0xc8, 0xdc, 0xf4));
    p.drawText(text.translated(0, 76), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Version %1").arg(version));
    return pixmap;
}

// The meter: a row of seven rising bars, lit green, green, green, yellow,
// yellow, red, red; level 0 lights none, 1 one, 2 three, 3 five, 4 all.
QPixmap DrawDataLight(int level, qreal devicePixelRatio) {
    static constexpr int kLit[] = {0, 1, 3, 5, 7};
    constexpr int kBars = 7;
    constexpr int kWidth = 65;
    constexpr int kHeight = 26;
    constexpr int kGap = 2;
    constexpr int kBarWidth = (kWidth - kGap * (kBars + 1)) / kBars;
    QPixmap image(QSize(kWidth, kHeight) * devicePixelRatio);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int bar = 0; bar < kBars; ++bar) {
        QColor colour = bar < 3   ? QColor(0x2e, 0xb8, 0x3c)
                        : bar < 5 ? QColor(0xf2, 0xc6, 0x1f)
                                  : QColor(0xe0, 0x3a, 0x2e);
        if (bar >= kLit[level])
            colour = QColor(0xa8, 0xa8, 0xa8);
        const int barHeight = 8 + bar * 2;
        const QRectF rect(kGap + bar * (kBarWidth + kGap), kHeight - 3 - barHeight, kBarWidth, barHeight);
        painter.setPen(colour.darker(140));
        painter.setBrush(colour);
        painter.drawRoundedRect(rect, 1.5, 1.5);
    }
    return image;
}
