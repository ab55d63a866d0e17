#include "app/widgets.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QPainter>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "bridge/instance.h"

namespace tessaryn {

QString programTitle(const std::string& instanceName) {
    if (instanceName == kDefaultInstanceName) return "Tessaryn";
    return "Tessaryn · " + fromStd(instanceName);
}

namespace {

QFont captionFont(QFont f) {
    f.setPointSizeF(f.pointSizeF() * 0.85);
    return f;
}

// A font set on a widget no longer follows the application's: this one sets the smaller font
// again from the new one (a theme tool or the desktop changing it while the program runs).
class SmallerFont : public QObject {
  public:
    explicit SmallerFont(QWidget* w) : QObject(w) { w->installEventFilter(this); }
    static void apply(QWidget* w) {
        QFont f = captionFont(QApplication::font(w));
        if (w->property("monospace").toBool()) {
            f.setStyleHint(QFont::Monospace);
            f.setFamily("monospace");
        }
        w->setFont(f);
    }
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::ApplicationFontChange) apply(static_cast<QWidget*>(o));
        return false;
    }
};

}  // namespace

void useCaptionFont(QWidget* w) {
    if (!w->findChild<SmallerFont*>(QString(), Qt::FindDirectChildrenOnly)) new SmallerFont(w);
    SmallerFont::apply(w);
}

QLabel* caption(const QString& text, bool secondary) {
    auto* l = new QLabel(text);
    useCaptionFont(l);
    // A palette role, not a style sheet: it follows theme changes and costs nothing per update.
    if (secondary) l->setForegroundRole(QPalette::PlaceholderText);
    return l;
}

QLabel* heading(const QString& text, qreal scale) {
    auto* l = new QLabel(text);
    QFont f = l->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * scale);
    l->setFont(f);
    return l;
}

QVBoxLayout* column(int spacing) {
    auto* l = new QVBoxLayout;
    l->setSpacing(spacing);
    l->setContentsMargins(0, 0, 0, 0);
    l->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return l;
}

void useMonospace(QWidget* w) {
    w->setProperty("monospace", true);
    QFont f = w->font();
    f.setStyleHint(QFont::Monospace);
    f.setFamily("monospace");
    w->setFont(f);
}

void showValue(QSpinBox* field, int value) {
    if (field->hasFocus() || field->value() == value) return;
    QSignalBlocker block(field);
    field->setValue(value);
}

void showEntries(QComboBox* picker, const PickerEntries& entries, const QVariant& current) {
    bool same = picker->count() == static_cast<int>(entries.size());
    for (int i = 0; same && i < picker->count(); ++i)
        same = picker->itemText(i) == entries[i].first && picker->itemData(i) == entries[i].second;
    QSignalBlocker block(picker);
    if (!same) {
        picker->clear();
        for (const auto& [label, value] : entries) {
            picker->addItem(label, value);
            picker->setItemData(picker->count() - 1, label, Qt::ToolTipRole);
        }
    }
    const int at = std::max(0, picker->findData(current));
    if (picker->currentIndex() != at) picker->setCurrentIndex(at);
}

// ---- CurveSlider -------------------------------------------------------------------------------

namespace {

class CurveAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
  public:
    explicit CurveAccessible(CurveSlider* s) : QAccessibleWidget(s, QAccessible::Slider) {}
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return QString::number(units(slider()->value()), 'f', 2);
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return units(slider()->value()); }
    void setCurrentValue(const QVariant& v) override {
        slider()->setValue(static_cast<int>(std::lround(v.toDouble() * CurveSlider::kScale)));
    }
    QVariant maximumValue() const override { return units(slider()->maximum()); }
    QVariant minimumValue() const override { return units(slider()->minimum()); }
    QVariant minimumStepSize() const override { return units(slider()->singleStep()); }

  private:
    static double units(int v) { return v / CurveSlider::kScale; }
    CurveSlider* slider() const { return static_cast<CurveSlider*>(widget()); }
};

// A group's header is a button that says whether the group is open, as a tree's branch does.
class HeaderAccessible : public QAccessibleWidget {
  public:
    explicit HeaderAccessible(QToolButton* b) : QAccessibleWidget(b, QAccessible::PushButton) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return button()->text().remove('&');
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = button()->isChecked();
        s.collapsed = !s.expanded;
        return s;
    }
    QStringList actionNames() const override {
        return QStringList{toggleAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == toggleAction() || action == pressAction())
            button()->click();
        else
            QAccessibleWidget::doAction(action);
    }

  private:
    QToolButton* button() const { return static_cast<QToolButton*>(widget()); }
};

QAccessibleInterface* accessibleFor(const QString& className, QObject* object) {
    if (className == QLatin1String(CurveSlider::staticMetaObject.className()))
        return new CurveAccessible(static_cast<CurveSlider*>(object));
    if (className == QLatin1String(GroupHeader::staticMetaObject.className()))
        return new HeaderAccessible(static_cast<GroupHeader*>(object));
    return nullptr;
}

}  // namespace

void installAccessibility() {
    QAccessible::installFactory(&accessibleFor);
}

// ---- Collapsible --------------------------------------------------------------------------------

Collapsible::Collapsible(const QString& title, QWidget* content, QWidget* parent)
    : QWidget(parent), toggle_(new GroupHeader), content_(content) {
    toggle_->setText(title);
    toggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toggle_->setAutoRaise(true);
    toggle_->setCheckable(true);  // a screen reader hears whether the group is open
    QFont f = toggle_->font();
    f.setBold(true);
    toggle_->setFont(f);
    auto* l = column(0);
    l->addWidget(toggle_);
    content_->setContentsMargins(0, 6, 0, 0);
    l->addWidget(content_);
    setLayout(l);
    connect(toggle_, &QToolButton::toggled, this, [this](bool on) { setExpanded(on); });
    expanded_ = true;
    setExpanded(false);
}

void Collapsible::setExpanded(bool on) {
    if (expanded_ == on) return;
    expanded_ = on;
    toggle_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
    toggle_->setChecked(on);
    content_->setVisible(on);
    // A screen reader on the header says the new state.
    QAccessible::State flipped;
    flipped.expanded = flipped.collapsed = true;
    QAccessibleStateChangeEvent told(toggle_, flipped);
    QAccessible::updateAccessibility(&told);
    emit expandedChanged(on);
}

// ---- ActivityLight ------------------------------------------------------------------------------

ActivityLight::ActivityLight(QWidget* parent) : QWidget(parent) {
    setFixedSize(24, 24);
    setToolTip("Flashes when a message passes the filter.");
}

void ActivityLight::setLit(bool lit) {
    if (lit_ == lit) return;
    lit_ = lit;
    update();
}

void ActivityLight::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c = rect().center() + QPointF(0.5, 0.5);
    p.setPen(Qt::NoPen);
    if (lit_) {
        QRadialGradient glow(c, 12);
        glow.setColorAt(0.45, QColor(255, 149, 0, 230));
        glow.setColorAt(1.0, QColor(255, 149, 0, 0));
        p.setBrush(glow);
        p.drawEllipse(c, 12, 12);
        p.setBrush(QColor(255, 149, 0));
    } else {
        QColor off = palette().color(QPalette::PlaceholderText);
        off.setAlphaF(0.35);
        p.setBrush(off);
    }
    p.drawEllipse(c, 6, 6);
}

// ---- ElidingComboBox ----------------------------------------------------------------------------

ElidingComboBox::ElidingComboBox(QWidget* parent) : QComboBox(parent) {
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(12);
}

void ElidingComboBox::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    p.drawComplexControl(QStyle::CC_ComboBox, opt);
    const QRect text =
        style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
    opt.currentText = fontMetrics().elidedText(opt.currentText, Qt::ElideMiddle, text.width());
    p.drawControl(QStyle::CE_ComboBoxLabel, opt);
}

// ---- VoiceButton --------------------------------------------------------------------------------

VoiceButton::VoiceButton(const QString& name, int note, QWidget* parent)
    : QPushButton(parent), name_(name), note_(note) {
    setCheckable(true);
    setAccessibleName(QString("%1 %2").arg(name).arg(note));
    setToolTip(QString("%1 · note %2").arg(name).arg(note));
    setObjectName(QString("voice%1").arg(note));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize VoiceButton::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return {fm.horizontalAdvance(name_) + 16, fm.height() * 2 + 12};
}

QSize VoiceButton::minimumSizeHint() const {
    return {fontMetrics().averageCharWidth() * 5, sizeHint().height()};
}

void VoiceButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text.clear();
    const bool lit = isChecked();
    if (lit) opt.state &= ~QStyle::State_On;  // drawn filled below, not pressed in
    p.drawControl(QStyle::CE_PushButtonBevel, opt);
    const QRect inner = rect().adjusted(4, 6, -4, -6);
    if (lit) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(palette().color(QPalette::Highlight));
        p.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
    }
    const QColor ink = palette().color(lit ? QPalette::HighlightedText : QPalette::ButtonText);

    // The name shrinks to 70 % before it is cut.
    QFont nameFont = font();
    const qreal full = nameFont.pointSizeF();
    for (qreal scale = 1.0; scale >= 0.7; scale -= 0.05) {
        nameFont.setPointSizeF(full * scale);
        if (QFontMetrics(nameFont).horizontalAdvance(name_) <= inner.width()) break;
    }
    const int half = inner.height() / 2 + 2;
    p.setFont(nameFont);
    p.setPen(ink);
    p.drawText(QRect(inner.left(), inner.top(), inner.width(), half), Qt::AlignCenter,
               QFontMetrics(nameFont).elidedText(name_, Qt::ElideRight, inner.width()));

    QFont small = font();
    small.setPointSizeF(full * 0.75);
    p.setFont(small);
    QColor light = ink;
    light.setAlphaF(0.6);
    p.setPen(light);
    p.drawText(QRect(inner.left(), inner.top() + half, inner.width(), inner.height() - half),
               Qt::AlignHCenter | Qt::AlignTop, QString::number(note_));
}

}  // namespace tessaryn
