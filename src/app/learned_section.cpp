#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/icons.h"
#include "app/sections.h"
#include "app/widgets.h"

namespace tessaryn {

namespace {

// Removes and deletes everything in a layout, nested rows included.
void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (item->layout()) clearLayout(item->layout());
        delete item->widget();
        delete item;
    }
}

}  // namespace

LearnedSection::LearnedSection(Bridge& bridge) : Section(bridge) {
    auto* l = column(8);
    auto* wins = caption("A saved control wins over the pad voice.");
    wins->setWordWrap(true);
    l->addWidget(wins);

    auto* curveBlock = column(2);
    auto* curveRow = new QHBoxLayout;
    curveRow->addWidget(caption("Light hits"));
    curve_ = new CurveSlider;
    curve_->setAccessibleName("Velocity curve");
    // Thousandths: as good as continuous for a 0.4…1.8 exponent; keys move by 0.01 and 0.1.
    curve_->setRange(400, 1800);
    curve_->setSingleStep(10);
    curve_->setPageStep(100);
    connect(curve_, &QSlider::valueChanged, this,
            [this](int v) { bridge_.setVelocityCurve(v / CurveSlider::kScale); });
    connect(curve_, &QSlider::sliderPressed, this,
            [this] { drag_ = std::make_unique<Preferences::Batch>(bridge_.preferences()); });
    connect(curve_, &QSlider::sliderReleased, this, [this] { drag_.reset(); });
    curveRow->addWidget(curve_, 1);
    curveRow->addWidget(caption("Firm"));
    curveBlock->addLayout(curveRow);
    curveCaption_ = caption("");
    curveBlock->addWidget(curveCaption_);
    l->addLayout(curveBlock);

    auto* learnRow = new QHBoxLayout;
    learn_ = new QPushButton("Learn next control");
    connect(learn_, &QPushButton::clicked, this, [this] {
        bridge_.setPendingLearn(std::nullopt);
        bridge_.setLearning(!bridge_.learning());
    });
    learnRow->addWidget(learn_);
    learnHint_ = caption("Move a knob or hit a pad.");
    learnRow->addWidget(learnHint_);
    learnRow->addStretch();
    l->addLayout(learnRow);

    pendingRow_ = new QWidget;
    auto* pending = new QHBoxLayout;
    pending->setContentsMargins(0, 0, 0, 0);
    destination_ = new QSpinBox;
    destination_->setAccessibleName("Destination");
    destination_->setRange(0, 127);
    destination_->setKeyboardTracking(false);
    useMonospace(destination_);
    connect(destination_, &QSpinBox::valueChanged, this,
            [this](int v) { bridge_.setLearnDestination(v); });
    pending->addWidget(destination_);
    auto* save = new QPushButton("Save mapping");
    connect(save, &QPushButton::clicked, this, [this] { bridge_.addLearned(); });
    pending->addWidget(save);
    pending->addStretch();
    pendingRow_->setLayout(pending);
    l->addWidget(pendingRow_);

    routeRows_ = column(4);
    l->addLayout(routeRows_);
    setLayout(l);
}

LearnedSection::~LearnedSection() = default;

QString LearnedSection::velocityCaption(double c) {
    if (std::abs(c - 1.0) < 0.06) return "Even. A soft hit stays soft.";
    if (c < 1.0) return "Light hits speak louder.";
    return "Light hits stay quiet.";
}

void LearnedSection::redraw(const Changes& c) {
    using P = BridgeProperty;
    if (c.any({P::velocityCurve})) {
        const int v = static_cast<int>(std::lround(bridge_.velocityCurve() * CurveSlider::kScale));
        if (!curve_->isSliderDown() && curve_->value() != v) {
            QSignalBlocker block(curve_);
            curve_->setValue(v);
        }
        curveCaption_->setText(velocityCaption(bridge_.velocityCurve()));
    }
    if (c.any({P::learning})) {
        learn_->setText(bridge_.learning() ? "Listening…" : "Learn next control");
        learnHint_->setVisible(bridge_.learning());
    }
    if (c.any({P::pendingLearn})) {
        const auto& p = bridge_.pendingLearn();
        pendingRow_->setVisible(p.has_value());
        // The stepper reads "CC 7 → CC 20" or "Note 60 → 38", its value being the destination.
        if (p)
            destination_->setPrefix(p->isCC ? QString("CC %1 → CC ").arg(p->source)
                                            : QString("Note %1 → ").arg(p->source));
    }
    if (c.any({P::learnDestination}))
        showValue(destination_, static_cast<int>(bridge_.learnDestination()));
    if (c.any({P::routes})) showRoutes();
}

void LearnedSection::showRoutes() {
    clearLayout(routeRows_);
    if (bridge_.routes().empty()) {
        routeRows_->addWidget(caption("No saved mappings."));
        return;
    }
    for (const auto& route : bridge_.routes()) {
        auto* row = new QHBoxLayout;
        auto* text = caption(fromStd(route.line()), false);
        useMonospace(text);
        row->addWidget(text);
        row->addStretch();
        auto* remove = new QToolButton;
        remove->setIcon(removeIcon(palette().color(QPalette::WindowText)));
        remove->setAutoRaise(true);
        remove->setToolTip("Remove");
        remove->setAccessibleName("Remove " + fromStd(route.line()));
        remove->setObjectName("removeRoute");
        connect(remove, &QToolButton::clicked, this, [this, route] { bridge_.removeRoute(route); });
        row->addWidget(remove);
        routeRows_->addLayout(row);
    }
}

}  // namespace tessaryn
