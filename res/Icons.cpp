#include "res/Icons.h"

#include "res/Templates.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTransform>

namespace {

// A double arrow, up and down: files going both ways.
void DrawArrows(QPainter& painter, const QRectF& area, const QColor& color) {
    const qreal w = area.width();
    const qreal h = area.height();
    const qreal cx = area.center().x();
    QPainterPath up;
    up.moveTo(cx - w * 0.30, area.top() + h * 0.42);
    up.lineTo(cx - w * 0.05, area.top() + h * 0.08);
    up.lineTo(cx + w * 0.20, area.top() + h * 0.42);
    up.lineTo(cx + w * 0.02, area.top() + h * 0.42);
    up.lineTo(cx + w * 0.02, area.top() + h * 0.62);
    up.lineTo(cx - w * 0.12, area.top() + h * 0.62);
    up.lineTo(cx - w * 0.12, area.top() + h * 0.42);
    up.closeSubpath();
    // The down arrow is the up arrow turned half a turn about the centre.
    const QPointF centre(cx, area.top() + h * 0.5);
    const QPainterPath down = QTransform()
                                  .translate(centre.x(), centre.y())
                                  .rotate(180)
                                  .translate(-centre.x(), -centre.y())
                                  .map(up);
    painter.fillPath(up, color);
    painter.fillPath(down, color);
}

// The application: a skerry, a rock in the sea, under a double arrow.
void DrawApplication(QPainter& painter, qreal s) {
    QLinearGradient sky(0, 0, 0, s);
    sky.setColorAt(0, QColor(0x2f, 0x7f, 0xc1));
    sky.setColorAt(1, QColor(0x14, 0x4a, 0x7a));
    painter.setPen(Qt::NoPen);
    painter.setBrush(sky);
    painter.drawRoundedRect(QRectF(s * 0.03, s * 0.03, s * 0.94, s * 0.94), s * 0.18, s * 0.18);

    QPainterPath rock;
    rock.moveTo(s * 0.12, s * 0.80);
    rock.cubicTo(s * 0.25, s * 0.62, s * 0.38, s * 0.56, s * 0.52, s * 0.60);
    rock.cubicTo(s * 0.66, s * 0.62, s * 0.78, s * 0.70, s * 0.88, s * 0.80);
    rock.closeSubpath();
    painter.fillPath(rock, QColor(0x3b, 0x32, 0x2c));
    painter.fillRect(QRectF(s * 0.08, s * 0.80, s * 0.84, s * 0.06), QColor(0xcf, 0xe8, 0xf7));

    DrawArrows(painter, QRectF(s * 0.22, s * 0.08, s * 0.56, s * 0.56), Qt::white);
}

// Busy: a bright green disc with the double arrow.
void DrawBusy(QPainter& painter, qreal s) {
    painter.setPen(QPen(QColor(0x0b, 0x5e, 0x1f), std::max<qreal>(1.0, s / 16)));
    painter.setBrush(QColor(0x2e, 0xc4, 0x4f));
    painter.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));
    DrawArrows(painter, QRectF(s * 0.18, s * 0.16, s * 0.64, s * 0.68), Qt::white);
}

// Idle: a hollow grey ring with a level bar: nothing moving.
void DrawIdle(QPainter& painter, qreal s) {
    painter.setPen(QPen(QColor(0x70, 0x70, 0x70), std::max<qreal>(1.5, s / 9)));
    painter.setBrush(QColor(0xe6, 0xe6, 0xe6));
    painter.drawEllipse(QRectF(s * 0.12, s * 0.12, s * 0.76, s * 0.76));
    painter.fillRect(QRectF(s * 0.30, s * 0.45, s * 0.40, s * 0.10), QColor(0x70, 0x70, 0x70));
}

} // namespace

QImage DrawIconResource(int nId, int nSide) {
    QImage image(nSide, nSide, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = nSide;
    switch (nId) {
    case IDI_BUSY:
        DrawBusy(painter, s);
        break;
    case IDI_IDLE:
        DrawIdle(painter, s);
        break;
    default:
        DrawApplication(painter, s);
        break;
    }
    return image;
}

QIcon LoadIconResource(int nId) {
    QIcon icon;
    for (int nSide : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(DrawIconResource(nId, nSide)));
    return icon;
}
