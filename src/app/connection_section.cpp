#include <QCheckBox>
#include <QHBoxLayout>
#include <QPlainTextDocumentLayout>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QTextBlock>
#include <QToolButton>
#include <QVBoxLayout>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "app/icons.h"
#include "app/sections.h"
#include "app/widgets.h"
#include "serial/serial_discovery.h"

namespace tessaryn {

namespace {

const std::int64_t kBaudRates[] = {9600,   19200,  31250,  38400,  57600,  115200,
                                   230400, 250000, 460800, 500000, 921600, 1000000};

// A board on a cable, not the computer's own UART (ttyS, ttyAMA: a console, a modem, Bluetooth),
// which nobody should open by accident.
bool isPlugIn(const std::string& path) {
    const std::string_view p = path;
    const std::string_view name = p.substr(p.rfind('/') + 1);
    return p.starts_with("/dev/serial/by-id/") || name.starts_with("ttyACM") ||
           name.starts_with("ttyUSB");
}

// Whether a running program (most likely another instance, on its own board) has the device
// open: found among the open files of the processes we may look into.
bool openElsewhere(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (ec) return false;
    for (fs::directory_iterator p("/proc", ec), end; !ec && p != end; p.increment(ec)) {
        std::error_code fdError;
        for (fs::directory_iterator fd(p->path() / "fd", fdError); !fdError && fd != end;
             fd.increment(fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd->path(), linkError) == device) return true;
        }
    }
    return false;
}

// A label that names `field` for screen readers and moves the focus to it on its mnemonic.
QLabel* labelFor(const QString& text, QWidget* field) {
    auto* l = new QLabel(text);
    l->setBuddy(field);
    return l;
}

// The serial number of the USB device behind `path`, as sysfs tells it; empty if unknown.
std::string serialNumber(const std::string& path) {
    std::error_code ec;
    const auto node = std::filesystem::canonical(path, ec).filename().string();
    const std::string identity = ec ? "" : usbIdentity(node, "/sys");  // vendor:product:serial
    const auto at = identity.find(':', identity.find(':') + 1);
    return at == std::string::npos || identity[at + 1] == '@' ? "" : identity.substr(at + 1);
}

// A board by its maker and product, which its stable name carries between a "usb-" and its
// serial number and interface ("usb-Maker_Drum_Pad_0043_9573632363-if00" is "Maker Drum Pad
// 0043"); the picker's tooltip keeps the whole path. Other devices by their node's name.
QString deviceLabel(const std::string& path) {
    constexpr std::string_view byId = "/dev/serial/by-id/";
    if (!path.starts_with(byId)) return fromStd(path).remove("/dev/");
    std::string name = path.substr(byId.size());
    if (name.starts_with("usb-")) name.erase(0, 4);
    if (const auto i = name.rfind("-if"); i != std::string::npos && i > 0) name.erase(i);
    // Without sysfs's word, a last word of 8 or more letters and digits, some of them digits.
    std::string serial = serialNumber(path);
    const std::string last = name.substr(name.rfind('_') + 1);
    if (serial.empty() && last.size() >= 8 && last.size() < name.size() &&
        std::all_of(last.begin(), last.end(), [](char c) { return std::isalnum(uint8_t(c)); }) &&
        std::any_of(last.begin(), last.end(), [](char c) { return std::isdigit(uint8_t(c)); }))
        serial = last;
    if (!serial.empty() && name.size() > serial.size() + 1 && name.ends_with("_" + serial))
        name.erase(name.size() - serial.size() - 1);
    std::replace(name.begin(), name.end(), '_', ' ');
    return fromStd(name);
}

}  // namespace

// ---- connection ---------------------------------------------------------------------------------

ConnectionSection::ConnectionSection(Bridge& bridge, PortLister listPorts)
    : Section(bridge), prefs_(bridge.preferences()), listPorts_(std::move(listPorts)) {
    ports_ = listPorts_();
    auto* l = column(8);
    l->addWidget(heading("Serial"));
    settings_ = new QWidget;
    auto* g = column(8);

    auto* portRow = new QHBoxLayout;
    portPicker_ = new ElidingComboBox;
    portRow->addWidget(labelFor("Serial &port", portPicker_));
    portRow->addWidget(portPicker_, 1);
    auto* rescan = new QToolButton;
    rescan->setIcon(refreshIcon(palette().color(QPalette::WindowText)));
    rescan->setToolTip("Rescan ports");
    rescan->setAccessibleName("Rescan ports");
    rescan->setObjectName("rescanPorts");
    portRow->addWidget(rescan);
    g->addLayout(portRow);
    connect(rescan, &QToolButton::clicked, this, [this] {
        ports_ = listPorts_();
        showSettings();
    });
    connect(portPicker_, &QComboBox::activated, this, [this](int i) {
        prefs_.setText("port", portPicker_->itemData(i).toString().toStdString());
        showSettings();
    });

    auto* lineRow = new QHBoxLayout;
    baud_ = new QComboBox;
    for (auto b : kBaudRates) baud_->addItem(QString::number(b), QVariant::fromValue<qlonglong>(b));
    lineRow->addWidget(labelFor("&Baud rate", baud_));
    lineRow->addWidget(baud_, 1);
    dataBits_ = new QComboBox;
    for (int b : {5, 6, 7, 8}) dataBits_->addItem(QString::number(b), b);
    lineRow->addWidget(labelFor("&Data bits", dataBits_));
    lineRow->addWidget(dataBits_, 1);
    g->addLayout(lineRow);
    connect(baud_, &QComboBox::activated, this,
            [this](int i) { prefs_.setInteger("baud", baud_->itemData(i).toLongLong()); });
    connect(dataBits_, &QComboBox::activated, this,
            [this](int i) { prefs_.setInteger("dataBits", dataBits_->itemData(i).toInt()); });

    auto* parityRow = new QHBoxLayout;
    parity_ = new QComboBox;
    for (Parity p : kAllParities) {
        const auto raw =
            QString::fromUtf8(rawValue(p).data(), static_cast<int>(rawValue(p).size()));
        parity_->addItem(raw, raw);
    }
    parityRow->addWidget(labelFor("Parit&y", parity_));
    parityRow->addWidget(parity_, 1);
    twoStop_ = new QCheckBox("&2 stop bits");
    parityRow->addWidget(twoStop_, 1);
    g->addLayout(parityRow);
    connect(parity_, &QComboBox::activated, this, [this](int i) {
        prefs_.setText("parity", parity_->itemData(i).toString().toStdString());
    });
    connect(twoStop_, &QCheckBox::toggled, this,
            [this](bool on) { prefs_.setBoolean("twoStop", on); });

    hwFlow_ = new QCheckBox("&Hardware flow control (RTS/CTS)");
    connect(hwFlow_, &QCheckBox::toggled, this,
            [this](bool on) { prefs_.setBoolean("hwFlow", on); });
    g->addWidget(hwFlow_);
    settings_->setLayout(g);
    l->addWidget(settings_);

    // The window's default action: Return presses it unless the focused control takes the key.
    start_ = new QPushButton("&Start");
    start_->setDefault(true);
    connect(start_, &QPushButton::clicked, this, [this] { toggleBridge(); });
    l->addWidget(start_, 0, Qt::AlignLeft);
    setLayout(l);
    // Choosing the device and starting is what the window is opened for: Start comes right
    // after the picker, the line settings after it.
    QWidget* order[] = {portPicker_, start_, rescan, baud_, dataBits_, parity_, twoStop_, hwFlow_};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    showSettings();
}

void ConnectionSection::windowShown() {
    // Offered, not saved: it becomes the saved port only when the user starts with it.
    proposed_.clear();
    if (prefs_.text("port").value_or("").empty()) {
        const auto free = std::find_if(ports_.begin(), ports_.end(), [](const std::string& p) {
            return isPlugIn(p) && !openElsewhere(p);
        });
        if (free != ports_.end()) proposed_ = *free;
    }
    showSettings();
}

std::string ConnectionSection::port() const {
    const std::string saved = prefs_.text("port").value_or("");
    return saved.empty() ? proposed_ : saved;
}

void ConnectionSection::showSettings() {
    const std::string port = this->port();
    PickerEntries entries;
    if (std::find(ports_.begin(), ports_.end(), port) == ports_.end())
        entries.emplace_back("Select…", fromStd(port));
    for (const auto& p : ports_) entries.emplace_back(deviceLabel(p), fromStd(p));
    showEntries(portPicker_, entries, fromStd(port));
    for (int i = 0; i < portPicker_->count(); ++i)
        portPicker_->setItemData(i, portPicker_->itemData(i), Qt::ToolTipRole);
    portPicker_->setToolTip(port.empty() ? QString() : fromStd(port));

    QSignalBlocker b1(baud_), b2(dataBits_), b3(parity_), b4(twoStop_), b5(hwFlow_);
    const auto baud = prefs_.integer("baud").value_or(115200);
    int bi = baud_->findData(QVariant::fromValue<qlonglong>(baud));
    if (bi < 0) {  // a rate set elsewhere (the command line) is shown as it is
        baud_->addItem(QString::number(baud), QVariant::fromValue<qlonglong>(baud));
        bi = baud_->count() - 1;
    }
    baud_->setCurrentIndex(bi);
    dataBits_->setCurrentIndex(
        std::max(0, dataBits_->findData(static_cast<int>(prefs_.integer("dataBits").value_or(8)))));
    parity_->setCurrentIndex(
        std::max(0, parity_->findData(fromStd(prefs_.text("parity").value_or("None")))));
    twoStop_->setChecked(prefs_.boolean("twoStop").value_or(false));
    hwFlow_->setChecked(prefs_.boolean("hwFlow").value_or(false));
    showRunning();
}

void ConnectionSection::redraw(const Changes& c) {
    if (c.any({BridgeProperty::running})) showRunning();
}

void ConnectionSection::showRunning() {
    const bool running = bridge_.running();
    settings_->setEnabled(!running);
    start_->setText(running ? "S&top" : "&Start");
    start_->setEnabled(running || !port().empty());
}

void ConnectionSection::toggleBridge() {
    if (bridge_.running()) {
        bridge_.stop();
        return;
    }
    if (prefs_.text("port").value_or("").empty()) prefs_.setText("port", proposed_);
    bridge_.start(port(), storedLineSettings(prefs_));
}

// ---- monitor ------------------------------------------------------------------------------------

MonitorView::MonitorView(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName("monitor");
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setMaximumBlockCount(kHistory);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setPlaceholderText("Messages show up here.");
    setAccessibleName("Recent messages");
    setTabChangesFocus(true);  // read-only: Tab moves on
    useMonospace(this);
    useCaptionFont(this);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // Scrolled to the end, it stays there when a new size or font moves the end.
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int v) { atEnd_ = v == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int max) {
        if (atEnd_) bar->setValue(max);
    });
}

// Room for the lines the bridge keeps, measured by laying them out as this widget does, in the
// font, margins and frame it has now: a theme's font with odd leading or a thick frame gets the
// room it needs. Asked again whenever the font or style changes.
QSize MonitorView::minimumSizeHint() const {
    // Layouts ask often (each counter update lays the page out); the font rarely changes.
    if (measured_ != std::pair(font(), document()->documentMargin())) {
        measured_ = {font(), document()->documentMargin()};
        QTextDocument sample;
        auto* layout = new QPlainTextDocumentLayout(&sample);
        sample.setDocumentLayout(layout);
        sample.setDefaultFont(font());
        sample.setDocumentMargin(document()->documentMargin());
        QTextOption noWrap;
        noWrap.setWrapMode(QTextOption::NoWrap);
        sample.setDefaultTextOption(noWrap);
        sample.setPlainText(
            QString("Pad  CC 0 · 64 · ch 1\n").repeated(int(Bridge::kMonitorCap)).chopped(1));
        qreal text = 0;
        for (QTextBlock b = sample.firstBlock(); b.isValid(); b = b.next())
            text += layout->blockBoundingRect(b).height();
        textHeight_ = static_cast<int>(std::ceil(text));
    }
    const QMargins m = contentsMargins();
    return {QPlainTextEdit::minimumSizeHint().width(), textHeight_ + m.top() + m.bottom()};
}

void MonitorView::showLines(const std::vector<MonitorLine>& lines) {
    // Lines after the last one shown are appended; when it is gone (more lines came between two
    // redraws than the bridge keeps) all it has are.
    std::size_t from = 0;
    for (std::size_t i = lines.size(); last_ && i-- > 0;) {
        if (lines[i].id == *last_) {
            from = i + 1;
            break;
        }
    }
    for (std::size_t i = from; i < lines.size(); ++i) appendPlainText(fromStd(lines[i].text));
    const std::optional<std::uint64_t> last =
        lines.empty() ? std::nullopt : std::optional(lines.back().id);
    if (last && last != last_) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    last_ = last;
}

// ---- status -------------------------------------------------------------------------------------

StatusSection::StatusSection(Bridge& bridge, const QString& name) : Section(bridge) {
    auto* l = column(6);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    light_ = new ActivityLight;
    light_->setAccessibleName("Activity");
    row->addWidget(light_);
    statusIcon_ = new QLabel;
    row->addWidget(statusIcon_);
    // Wrapped, never cut: a refusal says what to do at its end. Selectable, to paste it into a
    // search or a bug report.
    status_ = new QLabel;
    status_->setObjectName("status");
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(status_, 1);
    l->addLayout(row);
    counters_ = caption("", false);
    counters_->setWordWrap(true);  // at a large font, two lines rather than cut numbers
    useMonospace(counters_);
    l->addWidget(counters_);
    l->addWidget(caption(QString("Virtual ports: %1 In / %1 Out").arg(name)));
    monitor_ = new MonitorView;
    l->addWidget(monitor_, 1);
    setLayout(l);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);  // the monitor takes the room
}

void StatusSection::redraw(const Changes& c) {
    using P = BridgeProperty;
    if (c.any({P::activityLit})) light_->setLit(bridge_.activityLit());
    if (c.any({P::running, P::status})) {
        const bool running = bridge_.running();
        // Stopped by a device that is busy, missing or refused: say so with more than grey text.
        const bool trouble =
            bridge_.state() == BridgeState::failed || bridge_.state() == BridgeState::waiting;
        const QIcon icon = running ? checkIcon(QColor(0x34, 0xC7, 0x59))
                           : trouble
                               ? warningIcon()
                               : circleIcon(false, palette().color(QPalette::PlaceholderText));
        statusIcon_->setPixmap(icon.pixmap(16, 16));
        status_->setText(fromStd(bridge_.status()));
    }
    if (c.any({P::bytesIn, P::bytesOut})) {
        counters_->setText(QString("Serial → MIDI: %1 bytes   ·   MIDI → Serial: %2 bytes")
                               .arg(bridge_.bytesIn())
                               .arg(bridge_.bytesOut()));
    }
    if (c.any({P::monitor})) monitor_->showLines(bridge_.monitor());
}

}  // namespace tessaryn
