#include "app/icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QXmlStreamReader>
#include <vector>

#include "icon_source.h"

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

// An element of the icon source and what it holds.
struct Element {
    QString tag;
    QXmlStreamAttributes attributes;
    std::vector<Element> children;
};

Element read(QXmlStreamReader& xml) {
    Element e{xml.name().toString(), xml.attributes(), {}};
    while (xml.readNextStartElement()) e.children.push_back(read(xml));
    return e;
}

const Element* find(const Element& e, const QString& id) {
    if (e.attributes.value("id") == id) return &e;
    for (const Element& c : e.children)
        if (const Element* found = find(c, id)) return found;
    return nullptr;
}

QRectF viewBox(const Element& e) {
    const auto v = e.attributes.value("viewBox").split(' ', Qt::SkipEmptyParts);
    if (v.size() != 4) return {};
    return {v[0].toDouble(), v[1].toDouble(), v[2].toDouble(), v[3].toDouble()};
}

void draw(QPainter& p, const Element& e) {
    const auto number = [&](const char* name, double fallback = 0) {
        const auto v = e.attributes.value(name);
        return v.isEmpty() ? fallback : v.toDouble();
    };
    const auto colour = [&](const char* name, const char* opacity, const char* fallback) {
        const auto v = e.attributes.value(name);
        QColor c = QColor::fromString(v.isEmpty() ? QString(fallback) : v.toString());
        if (c.isValid()) c.setAlphaF(static_cast<float>(number(opacity, 1)));
        return c;
    };
    const QColor fill = colour("fill", "fill-opacity", "#000000");
    const QColor stroke = colour("stroke", "stroke-opacity", "none");
    p.setBrush(fill.isValid() ? QBrush(fill) : Qt::NoBrush);
    if (stroke.isValid()) {
        const bool round = e.attributes.value("stroke-linecap") == QLatin1String("round");
        p.setPen(QPen(stroke, number("stroke-width", 1), Qt::SolidLine,
                      round ? Qt::RoundCap : Qt::FlatCap));
    } else {
        p.setPen(Qt::NoPen);
    }
    if (e.tag == "rect") {
        const QRectF r(number("x"), number("y"), number("width"), number("height"));
        p.drawRoundedRect(r, number("rx"), number("ry", number("rx")));
    } else if (e.tag == "circle") {
        p.drawEllipse(QPointF(number("cx"), number("cy")), number("r"), number("r"));
    } else if (e.tag == "ellipse") {
        p.drawEllipse(QPointF(number("cx"), number("cy")), number("rx"), number("ry"));
    } else if (e.tag == "line") {
        p.drawLine(QPointF(number("x1"), number("y1")), QPointF(number("x2"), number("y2")));
    } else if (e.tag == "g") {
        for (const Element& c : e.children) draw(p, c);
    }
}

// Draws the parts of packaging/tessaryn.svg named `ids`, one over the other, into `target`,
// scaled evenly and centred. A part has the image's coordinates unless it has a viewBox.
void drawParts(QPainter& p, const std::vector<const char*>& ids, const QRectF& target) {
    // The source is built in and never changes: read once, not at every repaint of the mark.
    static const Element image = [] {
        QXmlStreamReader xml(kIconSource);
        return xml.readNextStartElement() ? read(xml) : Element{};
    }();
    for (const char* id : ids) {
        const Element* part = find(image, id);
        if (!part) continue;
        QRectF box = viewBox(*part);
        if (box.isEmpty()) box = viewBox(image);
        const qreal scale = std::min(target.width() / box.width(), target.height() / box.height());
        p.save();
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(target.center());
        p.scale(scale, scale);
        p.translate(-box.center());
        draw(p, *part);
        p.restore();
    }
}

// Drawn anew for each size and screen scale asked for, so it is sharp at any of them.
class PartsEngine : public QIconEngine {
  public:
    explicit PartsEngine(std::vector<const char*> ids) : ids_(std::move(ids)) {}
    void paint(QPainter* p, const QRect& rect, QIcon::Mode, QIcon::State) override {
        drawParts(*p, ids_, rect);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, pm.rect(), mode, state);
        return pm;
    }
    QIconEngine* clone() const override { return new PartsEngine(*this); }

  private:
    std::vector<const char*> ids_;
};

}  // namespace

QIcon trayIcon(TrayLook look) {
    // Drawn once per size: a panel asks for the icon at every change of look.
    return drawn([&](QPainter& p, qreal s) {
        const QRectF all(0, 0, s, s);
        switch (look) {
            case TrayLook::stopped:
                return drawParts(p, {"tray", "tray-stopped"}, all);
            case TrayLook::bridging:
                return drawParts(p, {"tray", "tray-bridging"}, all);
            case TrayLook::lit:
                return drawParts(p, {"tray", "tray-lit"}, all);
            case TrayLook::trouble:
                return drawParts(p, {"tray", "tray-stopped", "badge"}, all);
        }
    });
}

QIcon troubleIcon() {
    return QIcon(new PartsEngine({"app", "badge"}));
}

QIcon applicationIcon() {
    return QIcon(new PartsEngine({"app"}));
}

void drawMark(QPainter& p, const QRectF& target) {
    drawParts(p, {"mark"}, target);
}

}  // namespace tessaryn
