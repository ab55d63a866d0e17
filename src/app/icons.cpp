#include "app/icons.h"

#include <QPainter>
#include <QPainterPath>

namespace tessaryn {

namespace {

template <typename Draw>
QIcon drawn(Draw draw) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p, static_cast<qreal>(size));
        icon.addPixmap(pm);
    }
    return icon;
}

}  // namespace

QIcon circleIcon(bool filled, const QColor& color) {
    return drawn([&](QPainter& p, qreal s) {
        const qreal w = s / 10;
        p.setPen(QPen(color, w));
        p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
        p.drawEllipse(QRectF(s * 0.2, s * 0.2, s * 0.6, s * 0.6));
    });
}

QIcon refreshIcon(const QColor& color) {
    return drawn([&](QPainter& p, qreal s) {
        p.setPen(QPen(color, s / 10, Qt::SolidLine, Qt::RoundCap));
        const QRectF r(s * 0.2, s * 0.2, s * 0.6, s * 0.6);
        p.drawArc(r, 60 * 16, 290 * 16);
        QPainterPath head;
        head.moveTo(s * 0.62, s * 0.12);
        head.lineTo(s * 0.82, s * 0.26);
        head.lineTo(s * 0.58, s * 0.36);
        p.setBrush(color);
        p.drawPath(head);
    });
}

QIcon removeIcon(const QColor& color) {
    return drawn([&](QPainter& p, qreal s) {
        p.setPen(QPen(color, s / 12));
        p.drawEllipse(QRectF(s * 0.15, s * 0.15, s * 0.7, s * 0.7));
        p.drawLine(QPointF(s * 0.32, s * 0.5), QPointF(s * 0.68, s * 0.5));
    });
}

QIcon checkIcon(const QColor& color) {
    return drawn([&](QPainter& p, qreal s) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(s * 0.1, s * 0.1, s * 0.8, s * 0.8));
        p.setPen(QPen(Qt::white, s / 9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        QPainterPath tick;
        tick.moveTo(s * 0.3, s * 0.52);
        tick.lineTo(s * 0.45, s * 0.66);
        tick.lineTo(s * 0.7, s * 0.36);
        p.drawPath(tick);
    });
}

QIcon warningIcon() {
    return drawn([&](QPainter& p, qreal s) {
        QPainterPath triangle;
        triangle.moveTo(s * 0.5, s * 0.08);
        triangle.lineTo(s * 0.95, s * 0.88);
        triangle.lineTo(s * 0.05, s * 0.88);
        triangle.closeSubpath();
        p.setPen(
            QPen(QColor(0xB2, 0x5E, 0x00), s / 16, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(0xFF, 0xB3, 0x20));
        p.drawPath(triangle);
        p.setPen(QPen(Qt::black, s / 9, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(s * 0.5, s * 0.36), QPointF(s * 0.5, s * 0.6));
        p.drawPoint(QPointF(s * 0.5, s * 0.74));
    });
}

namespace {

// A red disc with a white bar in the lower right corner: something needs the user.
void drawBadge(QPainter& p, qreal s) {
    const QRectF disc(s * 0.52, s * 0.52, s * 0.46, s * 0.46);
    p.setPen(QPen(Qt::white, s / 16));
    p.setBrush(QColor(0xD7, 0x26, 0x1E));
    p.drawEllipse(disc);
    p.setPen(QPen(Qt::white, s / 11, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(disc.center().x(), disc.top() + s * 0.1),
               QPointF(disc.center().x(), disc.bottom() - s * 0.17));
    p.drawPoint(QPointF(disc.center().x(), disc.bottom() - s * 0.08));
}

}  // namespace

QIcon trayIcon(TrayLook look) {
    return drawn([&](QPainter& p, qreal s) {
        const QRectF ring(s * 0.2, s * 0.2, s * 0.6, s * 0.6);
        // A light halo under a dark stroke: one of the two always stands out from the panel.
        p.setPen(QPen(QColor(255, 255, 255, 210), s / 5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(ring);
        const QColor stroke =
            look == TrayLook::stopped ? QColor(0x80, 0x80, 0x80) : QColor(0x26, 0x26, 0x26);
        p.setPen(QPen(stroke, s / 10));
        p.setBrush(look == TrayLook::lit ? QBrush(QColor(0xF2, 0x8C, 0x28)) : Qt::NoBrush);
        p.drawEllipse(ring);
        if (look == TrayLook::bridging) {  // ready: a small dot where the light will be
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0xF2, 0x8C, 0x28));
            p.drawEllipse(ring.center(), s * 0.1, s * 0.1);
        }
        if (look == TrayLook::trouble) drawBadge(p, s);
    });
}

QIcon troubleIcon() {
    return drawn([&](QPainter& p, qreal s) {
        p.drawPixmap(QRectF(0, 0, s, s), applicationIcon().pixmap(int(s)), QRectF(0, 0, s, s));
        drawBadge(p, s);
    });
}

QPixmap markPixmap(int height) {
    QPixmap pm(height * 3, height);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = height;
    // Three drum heads in a row, the last one struck.
    for (int i = 0; i < 3; ++i) {
        const QRectF r(h * 0.1 + i * h * 0.9, h * 0.25, h * 0.7, h * 0.5);
        p.setPen(QPen(QColor(0xF2, 0x8C, 0x28), h / 16));
        p.setBrush(i == 2 ? QColor(0xF2, 0x8C, 0x28) : QColor(0x33, 0x33, 0x33));
        p.drawEllipse(r);
    }
    return pm;
}

QIcon applicationIcon() {
    return circleIcon(true, QColor(0xF2, 0x8C, 0x28));
}

}  // namespace tessaryn
