#pragma once

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVariant>
#include <QWidget>
#include <string>
#include <utility>
#include <vector>

class QSpinBox;
class QVBoxLayout;

namespace tessaryn {

// Small text, following the application's font when it changes.
void useCaptionFont(QWidget* w);
// Small text; in the secondary colour unless `secondary` is false.
QLabel* caption(const QString& text, bool secondary = true);
QLabel* heading(const QString& text, qreal scale = 1.1);
QVBoxLayout* column(int spacing);
void useMonospace(QWidget* w);
inline QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}
// "Tessaryn", and beside it the instance name when it is not the default one.
QString programTitle(const std::string& instanceName);

// Shows `value` unless the user is editing the field.
void showValue(QSpinBox* field, int value);

// A picker's entries as (label, value); refilled only when they differ from what it shows, so
// an open list or a keyboard selection is not disturbed by unrelated changes.
using PickerEntries = std::vector<std::pair<QString, QVariant>>;
void showEntries(QComboBox* picker, const PickerEntries& entries, const QVariant& current);

// The header of a Collapsible: told apart so that a screen reader hears it open or closed.
class GroupHeader : public QToolButton {
    Q_OBJECT
  public:
    using QToolButton::QToolButton;
};

// A titled group that folds its content away; starts folded. The header looks the same either
// way except for its arrow.
class Collapsible : public QWidget {
    Q_OBJECT
  public:
    Collapsible(const QString& title, QWidget* content, QWidget* parent = nullptr);
    void setExpanded(bool on);
    bool expanded() const { return expanded_; }
    QToolButton* toggle() const { return toggle_; }

  signals:
    void expandedChanged(bool on);

  private:
    QToolButton* toggle_;
    QWidget* content_;
    bool expanded_ = false;
};

// The velocity curve, 0.4 to 1.8, held in thousandths; a screen reader hears the exponent itself.
class CurveSlider : public QSlider {
    Q_OBJECT
  public:
    static constexpr double kScale = 1000.0;
    explicit CurveSlider(QWidget* parent = nullptr) : QSlider(Qt::Horizontal, parent) {}
};

// Teaches the accessibility layer about our own widgets; once, before the first window.
void installAccessibility();

// A 12-point circle: orange with a glow when lit.
class ActivityLight : public QWidget {
    Q_OBJECT
  public:
    explicit ActivityLight(QWidget* parent = nullptr);
    void setLit(bool lit);
    bool lit() const { return lit_; }
    QSize sizeHint() const override { return {24, 24}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    bool lit_ = false;
};

// A picker whose shown choice is elided in the middle (device paths differ at their ends) and
// that does not widen for long entries.
class ElidingComboBox : public QComboBox {
    Q_OBJECT
  public:
    explicit ElidingComboBox(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent*) override;
};

// A drum voice: its name, and under it the note number, smaller and lighter. Lit (checked) it
// is drawn filled in the accent colour.
class VoiceButton : public QPushButton {
    Q_OBJECT
  public:
    VoiceButton(const QString& name, int note, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QString name_;
    int note_;
};

}  // namespace tessaryn
