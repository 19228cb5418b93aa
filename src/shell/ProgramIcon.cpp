// Drawn in code rather than shipped as a picture file: no image format
// plugin is needed, and every size is drawn sharp.
#include "shell/ProgramIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// The picture in a square of 100 units.
void drawIcon(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient ground(0, 0, 0, 100);
    ground.setColorAt(0, QColor(0x2b, 0x7a, 0xb3));
    ground.setColorAt(1, QColor(0x14, 0x3f, 0x66));
    p.setPen(Qt::NoPen);
    p.setBrush(ground);
    p.drawRoundedRect(QRectF(2, 2, 96, 96), 20, 20);

    // The exchange: lines from a hub to three desks.
    p.setPen(QPen(QColor(0xff, 0xc8, 0x3d), 5, Qt::SolidLine, Qt::RoundCap));
    const QPointF hub(70, 30);
    for (const QPointF desk : {QPointF(88, 14), QPointF(90, 36), QPointF(74, 10)})
        p.drawLine(hub, desk);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xc8, 0x3d));
    p.drawEllipse(hub, 8, 8);
    for (const QPointF desk : {QPointF(88, 14), QPointF(90, 36), QPointF(74, 10)})
        p.drawEllipse(desk, 5, 5);

    // The handset: a curved grip, and the ear and mouth pieces standing out
    // on the side that faces the caller.
    QPainterPath grip;
    grip.moveTo(24, 26);
    grip.cubicTo(14, 58, 42, 88, 74, 78);
    p.setPen(QPen(Qt::white, 12, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(grip);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    auto piece = [&](QPointF centre, qreal angle) {
        p.save();
        p.translate(centre);
        p.rotate(angle);
        p.drawRoundedRect(QRectF(-17, -10, 34, 20), 9, 9);
        p.restore();
    };
    piece(QPointF(29, 24), -75);
    piece(QPointF(74, 72), -18);
}

} // namespace

namespace shell {

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.scale(size / 100.0, size / 100.0);
        drawIcon(painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace shell
