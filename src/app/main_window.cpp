#include "app/main_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>

#include "app/icons.h"
#include "midi/drum_voice.h"

namespace tessaryn {

namespace {

const std::int64_t kBaudRates[] = {9600,   19200,  31250,  38400,  57600,  115200,
                                   230400, 250000, 460800, 500000, 921600, 1000000};

QLabel* caption(const QString& text, bool secondary = true) {
    auto* l = new QLabel(text);
    QFont f = l->font();
    f.setPointSizeF(f.pointSizeF() * 0.85);
    l->setFont(f);
    if (secondary) l->setStyleSheet("color: palette(placeholder-text);");
    return l;
}

QLabel* heading(const QString& text, qreal scale = 1.1) {
    auto* l = new QLabel(text);
    QFont f = l->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * scale);
    l->setFont(f);
    return l;
}

QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}

QString deviceLabel(const std::string& path) {
    QString s = fromStd(path);
    s.remove("/dev/");
    return s;
}

// Removes and deletes everything in a layout, nested rows included.
void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (item->layout()) clearLayout(item->layout());
        delete item->widget();
        delete item;
    }
}

QVBoxLayout* column(int spacing) {
    auto* l = new QVBoxLayout;
    l->setSpacing(spacing);
    l->setContentsMargins(0, 0, 0, 0);
    l->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return l;
}

}  // namespace

// ---- small widgets ------------------------------------------------------------------------------

Collapsible::Collapsible(const QString& title, QWidget* content, QWidget* parent)
    : QWidget(parent), toggle_(new QToolButton), content_(content) {
    toggle_->setText(title);
    toggle_->setCheckable(true);
    toggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toggle_->setAutoRaise(true);
    auto* l = column(0);
    l->addWidget(toggle_);
    content_->setContentsMargins(0, 6, 0, 0);
    l->addWidget(content_);
    setLayout(l);
    connect(toggle_, &QToolButton::toggled, this, [this](bool on) { setExpanded(on); });
    setExpanded(false);
}

void Collapsible::setExpanded(bool on) {
    QSignalBlocker block(toggle_);
    toggle_->setChecked(on);
    toggle_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
    content_->setVisible(on);
    if (window()) window()->adjustSize();
}

bool Collapsible::expanded() const {
    return toggle_->isChecked();
}

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
    if (lit_) {
        QRadialGradient glow(c, 12);
        glow.setColorAt(0.45, QColor(255, 149, 0, 230));
        glow.setColorAt(1.0, QColor(255, 149, 0, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(c, 12, 12);
        p.setBrush(QColor(255, 149, 0));
    } else {
        QColor off = palette().color(QPalette::PlaceholderText);
        off.setAlphaF(0.35);
        p.setPen(Qt::NoPen);
        p.setBrush(off);
    }
    p.drawEllipse(c, 6, 6);
}

// ---- window -----------------------------------------------------------------------------------

MainWindow::MainWindow(Bridge& bridge, Autostart autostart, PortLister listPorts, QString formHost,
                       QWidget* parent)
    : QWidget(parent),
      bridge_(bridge),
      prefs_(bridge.preferences()),
      autostart_(std::move(autostart)),
      listPorts_(std::move(listPorts)),
      formHost_(std::move(formHost)) {
    setWindowTitle("Tessaryn");
    setWindowIcon(applicationIcon());
    ports_ = listPorts_();

    auto* outer = column(16);
    outer->setContentsMargins(20, 20, 20, 20);
    auto* top = new QHBoxLayout;
    top->setSpacing(20);
    top->setAlignment(Qt::AlignTop);

    auto* left = column(14);
    left->addWidget(buildPadSection());
    routing_ = new Collapsible("Routing", buildRoutingSection());
    left->addWidget(routing_);
    left->addStretch();

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* right = column(14);
    right->addWidget(buildConnectionSection());
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    right->addWidget(line);
    right->addWidget(buildStatusSection());
    learned_ = new Collapsible("Learned controls", buildLearnedSection());
    right->addWidget(learned_);
    right->addStretch();

    top->addLayout(left, 1);
    top->addWidget(divider);
    top->addLayout(right, 1);
    // A fixed width of 980 with the margins; the height follows the content (groups folding).
    auto* body = new QWidget;
    body->setLayout(top);
    body->setFixedWidth(980 - 40);
    outer->addWidget(body);
    outer->addWidget(buildReportRow());
    setLayout(outer);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    observer_ = bridge_.observe([this](BridgeProperty) { scheduleRefresh(); });
    refresh();
}

MainWindow::~MainWindow() {
    bridge_.unobserve(observer_);
}

QWidget* MainWindow::buildPadSection() {
    auto* w = new QWidget;
    auto* l = column(8);
    l->addWidget(heading("Pad voice"));
    remap_ = new QCheckBox("Change the note");
    connect(remap_, &QCheckBox::toggled, this, [this](bool on) { bridge_.setRemapNotes(on); });
    l->addWidget(remap_);
    auto* hint =
        caption("The lit button is what other apps hear. A learned control wins over this.");
    hint->setWordWrap(true);
    l->addWidget(hint);

    auto* grid = new QGridLayout;
    grid->setSpacing(8);
    int i = 0;
    for (const DrumVoice& v : DrumVoice::pad) {
        auto* b = new QPushButton(
            QString("%1\n%2")
                .arg(QString::fromUtf8(v.name.data(), static_cast<int>(v.name.size())))
                .arg(v.note));
        b->setCheckable(true);
        b->setMinimumHeight(44);
        b->setToolTip(QString("%1 · note %2")
                          .arg(QString::fromUtf8(v.name.data(), static_cast<int>(v.name.size())))
                          .arg(v.note));
        b->setObjectName(QString("voice%1").arg(v.note));
        connect(b, &QPushButton::clicked, this, [this, note = v.note] {
            bridge_.setTargetNote(note);
            refresh();  // the button's own check state follows the bridge, not the click
        });
        grid->addWidget(b, i / 4, i % 4);
        voiceButtons_.push_back(b);
        ++i;
    }
    l->addLayout(grid);

    auto* noteRow = new QHBoxLayout;
    noteRow->addWidget(new QLabel("Note"));
    noteStepper_ = new QSpinBox;
    noteStepper_->setRange(0, 127);
    connect(noteStepper_, &QSpinBox::valueChanged, this,
            [this](int v) { bridge_.setTargetNote(v); });
    noteRow->addWidget(noteStepper_);
    noteVoice_ = new QLabel;
    noteVoice_->setStyleSheet("color: palette(placeholder-text);");
    noteRow->addWidget(noteVoice_);
    noteRow->addStretch();
    l->addLayout(noteRow);

    forceChannel_ = new QCheckBox("Send on channel 10");
    forceChannel_->setToolTip("Drum racks usually listen on channel 10.");
    connect(forceChannel_, &QCheckBox::toggled, this,
            [this](bool on) { bridge_.setForceDrumChannel(on); });
    l->addWidget(forceChannel_);
    lastMapped_ = caption("", false);
    l->addWidget(lastMapped_);
    w->setLayout(l);
    return w;
}

QWidget* MainWindow::buildRoutingSection() {
    auto* w = new QWidget;
    auto* l = column(8);
    l->addWidget(heading("Ports", 1.0));
    auto picker = [&](const QString& label, const QString& help) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(label));
        auto* c = new QComboBox;
        c->setToolTip(help);
        row->addWidget(c, 1);
        l->addLayout(row);
        return c;
    };
    sendTo_ = picker("Also send to",
                     "The virtual port stays. This also copies messages to a hardware MIDI port.");
    listenTo_ =
        picker("Also listen to", "Messages from this port are written to the serial device.");
    connect(sendTo_, &QComboBox::activated, this,
            [this](int i) { bridge_.setHardwareOutID(sendTo_->itemData(i).toLongLong()); });
    connect(listenTo_, &QComboBox::activated, this,
            [this](int i) { bridge_.setHardwareInID(listenTo_->itemData(i).toLongLong()); });

    auto toggle = [&](const QString& text, const QString& help, auto setter) {
        auto* c = new QCheckBox(text);
        if (!help.isEmpty()) c->setToolTip(help);
        connect(c, &QCheckBox::toggled, this, [this, setter](bool on) { (bridge_.*setter)(on); });
        l->addWidget(c);
        return c;
    };
    auto* filters = heading("Filters", 1.0);
    filters->setContentsMargins(0, 4, 0, 0);
    l->addWidget(filters);
    dropClock_ = toggle("Drop clock", "", &Bridge::setDropClock);
    dropSensing_ = toggle("Drop active sensing", "", &Bridge::setDropSensing);
    blockEcho_ = toggle(
        "Block echo", "Drops a message that comes straight back from the port it was just sent to.",
        &Bridge::setBlockEcho);
    paceSysex_ = toggle(
        "Pace system exclusive",
        "Sends SysEx toward the serial port at MIDI DIN speed so long dumps are not cut off.",
        &Bridge::setPaceSysex);
    auto* opens = heading("When it opens", 1.0);
    opens->setContentsMargins(0, 4, 0, 0);
    l->addWidget(opens);
    holdDTR_ = toggle("Do not reset the board",
                      "Opens the port without pulsing DTR. Applies the next time the port opens.",
                      &Bridge::setHoldDTR);
    reconnects_ = toggle("Reconnect when the device returns", "", &Bridge::setReconnects);
    openAtLogin_ = new QCheckBox("Open at login");
    openAtLogin_->setToolTip(
        "Adds Tessaryn to your desktop's autostart; the desktop must honour XDG autostart.");
    openAtLogin_->setChecked(prefs_.boolean("openAtLogin").value_or(false));
    connect(openAtLogin_, &QCheckBox::toggled, this, [this](bool on) { openAtLoginChanged(on); });
    l->addWidget(openAtLogin_);
    auto* rescan = new QPushButton("Rescan MIDI ports");
    rescan->setFont(caption("")->font());
    connect(rescan, &QPushButton::clicked, this, [this] { bridge_.refreshMIDIPorts(); });
    l->addWidget(rescan, 0, Qt::AlignLeft);
    w->setLayout(l);
    return w;
}

QWidget* MainWindow::buildConnectionSection() {
    auto* w = new QWidget;
    auto* l = column(8);
    l->addWidget(heading("Serial"));
    settingsGroup_ = new QWidget;
    auto* g = column(8);

    auto* portRow = new QHBoxLayout;
    portRow->addWidget(new QLabel("Serial port"));
    portPicker_ = new QComboBox;
    portRow->addWidget(portPicker_, 1);
    auto* rescan = new QToolButton;
    rescan->setIcon(refreshIcon(palette().color(QPalette::WindowText)));
    rescan->setToolTip("Rescan ports");
    rescan->setObjectName("rescanPorts");
    portRow->addWidget(rescan);
    g->addLayout(portRow);
    connect(rescan, &QToolButton::clicked, this, [this] {
        ports_ = listPorts_();
        refreshPorts();
    });
    connect(portPicker_, &QComboBox::activated, this, [this](int i) {
        prefs_.setText("port", portPicker_->itemData(i).toString().toStdString());
        refresh();
    });

    auto* lineRow = new QHBoxLayout;
    lineRow->addWidget(new QLabel("Baud rate"));
    baudPicker_ = new QComboBox;
    for (auto b : kBaudRates)
        baudPicker_->addItem(QString::number(b), QVariant::fromValue<qlonglong>(b));
    lineRow->addWidget(baudPicker_, 1);
    lineRow->addWidget(new QLabel("Data bits"));
    dataBitsPicker_ = new QComboBox;
    for (int b : {5, 6, 7, 8}) dataBitsPicker_->addItem(QString::number(b), b);
    lineRow->addWidget(dataBitsPicker_, 1);
    g->addLayout(lineRow);
    connect(baudPicker_, &QComboBox::activated, this,
            [this](int i) { prefs_.setInteger("baud", baudPicker_->itemData(i).toLongLong()); });
    connect(dataBitsPicker_, &QComboBox::activated, this,
            [this](int i) { prefs_.setInteger("dataBits", dataBitsPicker_->itemData(i).toInt()); });

    auto* parityRow = new QHBoxLayout;
    parityRow->addWidget(new QLabel("Parity"));
    parityPicker_ = new QComboBox;
    for (Parity p : kAllParities) {
        const auto raw =
            QString::fromUtf8(rawValue(p).data(), static_cast<int>(rawValue(p).size()));
        parityPicker_->addItem(raw, raw);
    }
    parityRow->addWidget(parityPicker_, 1);
    twoStop_ = new QCheckBox("2 stop bits");
    parityRow->addWidget(twoStop_, 1);
    g->addLayout(parityRow);
    connect(parityPicker_, &QComboBox::activated, this, [this](int i) {
        prefs_.setText("parity", parityPicker_->itemData(i).toString().toStdString());
    });
    connect(twoStop_, &QCheckBox::toggled, this,
            [this](bool on) { prefs_.setBoolean("twoStop", on); });

    hwFlow_ = new QCheckBox("Hardware flow control (RTS/CTS)");
    connect(hwFlow_, &QCheckBox::toggled, this,
            [this](bool on) { prefs_.setBoolean("hwFlow", on); });
    g->addWidget(hwFlow_);
    settingsGroup_->setLayout(g);
    l->addWidget(settingsGroup_);

    startButton_ = new QPushButton("Start");
    startButton_->setDefault(true);
    startButton_->setAutoDefault(true);
    connect(startButton_, &QPushButton::clicked, this, [this] { toggleBridge(); });
    // Return presses the default button; a plain window has no default button of its own.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (startButton_->isEnabled()) startButton_->click();
        });
    }
    l->addWidget(startButton_, 0, Qt::AlignLeft);
    w->setLayout(l);
    return w;
}

QWidget* MainWindow::buildStatusSection() {
    auto* w = new QWidget;
    auto* l = column(6);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    light_ = new ActivityLight;
    row->addWidget(light_);
    statusIcon_ = new QLabel;
    row->addWidget(statusIcon_);
    status_ = new QLabel;
    row->addWidget(status_, 1);
    l->addLayout(row);
    counters_ = caption("", false);
    QFont mono = counters_->font();
    mono.setStyleHint(QFont::Monospace);
    mono.setFamily("monospace");
    counters_->setFont(mono);
    l->addWidget(counters_);
    l->addWidget(caption("Virtual ports: Halvenor In / Out"));

    monitorArea_ = new QScrollArea;
    monitorArea_->setFixedHeight(78);
    monitorArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    monitorArea_->setWidgetResizable(true);
    auto* inner = new QWidget;
    monitorLines_ = column(2);
    monitorLines_->setContentsMargins(4, 2, 4, 2);
    inner->setLayout(monitorLines_);
    monitorArea_->setWidget(inner);
    l->addWidget(monitorArea_);
    w->setLayout(l);
    return w;
}

QWidget* MainWindow::buildLearnedSection() {
    auto* w = new QWidget;
    auto* l = column(8);
    auto* wins = caption("A saved control wins over the pad voice.");
    wins->setWordWrap(true);
    l->addWidget(wins);

    auto* curveBlock = column(2);
    auto* curveRow = new QHBoxLayout;
    curveRow->addWidget(caption("Light hits"));
    curve_ = new QSlider(Qt::Horizontal);
    curve_->setRange(400, 1800);  // thousandths: as good as continuous for a 0.4…1.8 exponent
    connect(curve_, &QSlider::valueChanged, this,
            [this](int v) { bridge_.setVelocityCurve(v / 1000.0); });
    curveRow->addWidget(curve_, 1);
    curveRow->addWidget(caption("Firm"));
    curveBlock->addLayout(curveRow);
    curveCaption_ = caption("");
    curveBlock->addWidget(curveCaption_);
    l->addLayout(curveBlock);

    auto* learnRow = new QHBoxLayout;
    learnButton_ = new QPushButton("Learn next control");
    connect(learnButton_, &QPushButton::clicked, this, [this] {
        bridge_.setPendingLearn(std::nullopt);
        bridge_.setLearning(!bridge_.learning());
    });
    learnRow->addWidget(learnButton_);
    learnHint_ = caption("Move a knob or hit a pad.");
    learnRow->addWidget(learnHint_);
    learnRow->addStretch();
    l->addLayout(learnRow);

    pendingRow_ = new QWidget;
    auto* pending = new QHBoxLayout;
    pending->setContentsMargins(0, 0, 0, 0);
    destinationStepper_ = new QSpinBox;
    destinationStepper_->setRange(0, 127);
    connect(destinationStepper_, &QSpinBox::valueChanged, this,
            [this](int v) { bridge_.setLearnDestination(v); });
    pending->addWidget(destinationStepper_);
    auto* save = new QPushButton("Save mapping");
    connect(save, &QPushButton::clicked, this, [this] { bridge_.addLearned(); });
    pending->addWidget(save);
    pending->addStretch();
    pendingRow_->setLayout(pending);
    l->addWidget(pendingRow_);

    routeRows_ = column(4);
    l->addLayout(routeRows_);
    w->setLayout(l);
    return w;
}

QWidget* MainWindow::buildReportRow() {
    auto* w = new QWidget;
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    row->setContentsMargins(0, 0, 0, 0);
    auto* left = column(6);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* bug = new QPushButton("Submit a bug");
    auto* feature = new QPushButton("Request a feature");
    bug->setAutoDefault(false);
    feature->setAutoDefault(false);
    connect(bug, &QPushButton::clicked, this, [this] { openForm("bug"); });
    connect(feature, &QPushButton::clicked, this, [this] { openForm("feature"); });
    buttons->addWidget(bug);
    buttons->addWidget(feature);
    buttons->addStretch();
    left->addLayout(buttons);
    left->addWidget(caption("Opens a form on the site."));
    row->addLayout(left);
    row->addStretch();
    auto* mark = new QLabel;
    mark->setPixmap(markPixmap(52));
    mark->setContentsMargins(5, 5, 5, 5);
    mark->setStyleSheet("background: black; border-radius: 8px;");
    mark->setAccessibleName("Tessaryn, made by the Tessaryn developers");
    row->addWidget(mark);
    w->setLayout(row);
    return w;
}

// ---- behaviour --------------------------------------------------------------------------------

QString MainWindow::velocityCaption(double c) {
    if (std::abs(c - 1.0) < 0.06) return "Even. A soft hit stays soft.";
    if (c < 1.0) return "Light hits speak louder.";
    return "Light hits stay quiet.";
}

QString MainWindow::formAddress(const QString& kind) const {
    return "https://" + formHost_ + "/tessaryn/" + kind + ".html";
}

void MainWindow::openForm(const QString& kind) {
    const QUrl url(formAddress(kind), QUrl::StrictMode);
    if (url.isValid()) QDesktopServices::openUrl(url);
}

void MainWindow::toggleBridge() {
    if (bridge_.running()) {
        bridge_.stop();
        return;
    }
    const Parity parity =
        parityFromRaw(prefs_.text("parity").value_or("None")).value_or(Parity::none);
    bridge_.start(prefs_.text("port").value_or(""), prefs_.integer("baud").value_or(115200),
                  prefs_.integer("dataBits").value_or(8), parity,
                  prefs_.boolean("twoStop").value_or(false),
                  prefs_.boolean("hwFlow").value_or(false));
}

void MainWindow::openAtLoginChanged(bool on) {
    prefs_.setBoolean("openAtLogin", on);
    if (suppressLoginWrite_) {
        suppressLoginWrite_ = false;
        return;
    }
    if (auto error = autostart_.setEnabled(on)) bridge_.setStatus(*error);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (prefs_.text("port").value_or("").empty() && !ports_.empty())
        prefs_.setText("port", ports_.front());
    bridge_.refreshMIDIPorts();
    const bool registered = autostart_.enabled();
    if (registered != openAtLogin_->isChecked()) {
        suppressLoginWrite_ = true;
        openAtLogin_->setChecked(registered);
    }
    refresh();
}

void MainWindow::scheduleRefresh() {
    // Many changes arrive together (a chunk of traffic); redraw once for all of them.
    if (refreshPending_) return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] { refresh(); });
}

void MainWindow::refresh() {
    refreshPending_ = false;
    const bool running = bridge_.running();
    {
        QSignalBlocker b1(remap_), b2(noteStepper_), b3(forceChannel_), b4(dropClock_),
            b5(dropSensing_), b6(blockEcho_), b7(paceSysex_), b8(holdDTR_), b9(reconnects_),
            b10(curve_), b11(destinationStepper_), b12(twoStop_), b13(hwFlow_);
        remap_->setChecked(bridge_.remapNotes());
        for (std::size_t i = 0; i < voiceButtons_.size(); ++i) {
            const bool lit = bridge_.remapNotes() && bridge_.targetNote() == DrumVoice::pad[i].note;
            voiceButtons_[i]->setChecked(lit);
            voiceButtons_[i]->setStyleSheet(
                lit ? "QPushButton { background: palette(highlight); color: "
                      "palette(highlighted-text); }"
                    : "");
        }
        noteStepper_->setValue(static_cast<int>(bridge_.targetNote()));
        const auto voice = DrumVoice::nameFor(bridge_.targetNote());
        noteVoice_->setText(
            voice ? QString::fromUtf8(voice->data(), static_cast<int>(voice->size())) : QString());
        forceChannel_->setChecked(bridge_.forceDrumChannel());
        lastMapped_->setText(fromStd(bridge_.lastMapped()));

        dropClock_->setChecked(bridge_.dropClock());
        dropSensing_->setChecked(bridge_.dropSensing());
        blockEcho_->setChecked(bridge_.blockEcho());
        paceSysex_->setChecked(bridge_.paceSysex());
        holdDTR_->setChecked(bridge_.holdDTR());
        reconnects_->setChecked(bridge_.reconnects());
        fillMIDIPicker(sendTo_, bridge_.midiDestinations(), bridge_.hardwareOutID());
        fillMIDIPicker(listenTo_, bridge_.midiSources(), bridge_.hardwareInID());

        twoStop_->setChecked(prefs_.boolean("twoStop").value_or(false));
        hwFlow_->setChecked(prefs_.boolean("hwFlow").value_or(false));
        curve_->setValue(static_cast<int>(std::lround(bridge_.velocityCurve() * 1000)));
        curveCaption_->setText(velocityCaption(bridge_.velocityCurve()));
        destinationStepper_->setValue(static_cast<int>(bridge_.learnDestination()));
    }
    refreshPorts();
    settingsGroup_->setEnabled(!running);
    startButton_->setText(running ? "Stop" : "Start");
    startButton_->setEnabled(running || !prefs_.text("port").value_or("").empty());

    light_->setLit(bridge_.activityLit());
    const QColor secondary = palette().color(QPalette::PlaceholderText);
    statusIcon_->setPixmap(
        (running ? checkIcon(QColor(0x34, 0xC7, 0x59)) : circleIcon(false, secondary))
            .pixmap(16, 16));
    status_->setText(fromStd(bridge_.status()));
    counters_->setText(QString("Serial → MIDI: %1 bytes   ·   MIDI → Serial: %2 bytes")
                           .arg(bridge_.bytesIn())
                           .arg(bridge_.bytesOut()));
    refreshMonitor();

    learnButton_->setText(bridge_.learning() ? "Listening…" : "Learn next control");
    learnHint_->setVisible(bridge_.learning());
    pendingRow_->setVisible(bridge_.pendingLearn().has_value());
    if (const auto& p = bridge_.pendingLearn()) {
        // The stepper reads "CC 7 → CC 20" or "Note 60 → 38", its value being the destination.
        destinationStepper_->setPrefix(p->isCC ? QString("CC %1 → CC ").arg(p->source)
                                               : QString("Note %1 → ").arg(p->source));
    }
    refreshRoutes();
}

void MainWindow::refreshPorts() {
    QSignalBlocker block(portPicker_);
    const std::string port = prefs_.text("port").value_or("");
    portPicker_->clear();
    if (std::find(ports_.begin(), ports_.end(), port) == ports_.end()) {
        portPicker_->addItem("Select…", fromStd(port));
    }
    for (const auto& p : ports_) portPicker_->addItem(deviceLabel(p), fromStd(p));
    portPicker_->setCurrentIndex(std::max(0, portPicker_->findData(fromStd(port))));

    QSignalBlocker b1(baudPicker_), b2(dataBitsPicker_), b3(parityPicker_);
    const auto baud = prefs_.integer("baud").value_or(115200);
    int bi = baudPicker_->findData(QVariant::fromValue<qlonglong>(baud));
    if (bi < 0) {  // a rate set elsewhere (the command line) is shown as it is
        baudPicker_->addItem(QString::number(baud), QVariant::fromValue<qlonglong>(baud));
        bi = baudPicker_->count() - 1;
    }
    baudPicker_->setCurrentIndex(bi);
    dataBitsPicker_->setCurrentIndex(std::max(
        0, dataBitsPicker_->findData(static_cast<int>(prefs_.integer("dataBits").value_or(8)))));
    parityPicker_->setCurrentIndex(
        std::max(0, parityPicker_->findData(fromStd(prefs_.text("parity").value_or("None")))));
}

void MainWindow::fillMIDIPicker(QComboBox* picker, const std::vector<MIDIPortChoice>& choices,
                                std::int64_t current) {
    picker->clear();
    picker->addItem("Virtual port only", QVariant::fromValue<qlonglong>(0));
    const bool present =
        std::any_of(choices.begin(), choices.end(), [&](const auto& c) { return c.id == current; });
    if (current != 0 && !present)
        picker->addItem("Saved port", QVariant::fromValue<qlonglong>(current));
    for (const auto& c : choices)
        picker->addItem(fromStd(c.name), QVariant::fromValue<qlonglong>(c.id));
    picker->setCurrentIndex(std::max(0, picker->findData(QVariant::fromValue<qlonglong>(current))));
}

void MainWindow::refreshMonitor() {
    const auto& lines = bridge_.monitor();
    clearLayout(monitorLines_);
    if (lines.empty()) {
        monitorLines_->addWidget(caption("Messages show up here."));
    }
    for (const auto& line : lines) {
        auto* l = caption(fromStd(line.text), false);
        QFont f = l->font();
        f.setStyleHint(QFont::Monospace);
        f.setFamily("monospace");
        l->setFont(f);
        l->setObjectName("monitorLine");
        monitorLines_->addWidget(l);
    }
    const std::optional<Uuid> last =
        lines.empty() ? std::nullopt : std::optional<Uuid>(lines.back().id);
    if (last && last != lastMonitorLine_) {
        QTimer::singleShot(0, this, [this] {
            monitorArea_->verticalScrollBar()->setValue(
                monitorArea_->verticalScrollBar()->maximum());
        });
    }
    lastMonitorLine_ = last;
}

void MainWindow::refreshRoutes() {
    clearLayout(routeRows_);
    if (bridge_.routes().empty()) {
        routeRows_->addWidget(caption("No saved mappings."));
        return;
    }
    for (const auto& route : bridge_.routes()) {
        auto* row = new QHBoxLayout;
        row->addWidget(caption(fromStd(route.line()), false));
        row->addStretch();
        auto* remove = new QToolButton;
        remove->setIcon(removeIcon(palette().color(QPalette::WindowText)));
        remove->setAutoRaise(true);
        remove->setToolTip("Remove");
        remove->setObjectName("removeRoute");
        connect(remove, &QToolButton::clicked, this, [this, route] { bridge_.removeRoute(route); });
        row->addWidget(remove);
        routeRows_->addLayout(row);
    }
}

}  // namespace tessaryn
