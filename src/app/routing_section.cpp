#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/sections.h"
#include "app/widgets.h"
#include "bridge/instance.h"

namespace tessaryn {

namespace {

PickerEntries midiEntries(const std::vector<MIDIPortChoice>& choices, std::int64_t current) {
    PickerEntries out{{"Virtual port only", QVariant::fromValue<qlonglong>(0)}};
    const bool present =
        std::any_of(choices.begin(), choices.end(), [&](const auto& c) { return c.id == current; });
    if (current != 0 && !present)
        out.emplace_back("Saved port", QVariant::fromValue<qlonglong>(current));
    for (const auto& c : choices)
        out.emplace_back(fromStd(c.name), QVariant::fromValue<qlonglong>(c.id));
    return out;
}

}  // namespace

RoutingSection::RoutingSection(Bridge& bridge, Autostart& autostart)
    : Section(bridge), autostart_(autostart) {
    auto* l = column(8);
    l->addWidget(heading("Ports", 1.0));
    auto picker = [&](const QString& label, const QString& help) {
        auto* row = new QHBoxLayout;
        auto* c = new ElidingComboBox;
        auto* name = new QLabel(label);
        name->setBuddy(c);
        row->addWidget(name);
        c->setToolTip(help);
        row->addWidget(c, 1);
        l->addLayout(row);
        return c;
    };
    sendTo_ = picker("Also send to",
                     "The virtual port stays. This also copies messages to a hardware MIDI port.");
    sendTo_->setObjectName("sendTo");
    listenTo_ =
        picker("Also listen to", "Messages from this port are written to the serial device.");
    connect(sendTo_, &QComboBox::activated, this,
            [this](int i) { bridge_.setHardwareOutID(sendTo_->itemData(i).toLongLong()); });
    connect(listenTo_, &QComboBox::activated, this,
            [this](int i) { bridge_.setHardwareInID(listenTo_->itemData(i).toLongLong()); });
    // Beside the pickers it refills, not under the start-up settings.
    auto* rescan = new QPushButton("Rescan MIDI ports");
    useCaptionFont(rescan);
    connect(rescan, &QPushButton::clicked, this, [this] { bridge_.refreshMIDIPorts(); });
    l->addWidget(rescan, 0, Qt::AlignLeft);

    auto toggle = [&](const QString& text, const QString& help, bool (Bridge::*get)() const,
                      void (Bridge::*set)(bool)) {
        auto* c = new QCheckBox(text);
        if (!help.isEmpty()) c->setToolTip(help);
        connect(c, &QCheckBox::toggled, this, [&bridge, set](bool on) { (bridge.*set)(on); });
        l->addWidget(c);
        toggles_.emplace_back(c, get);
    };
    auto subheading = [&](const QString& text) {
        auto* h = heading(text, 1.0);
        h->setContentsMargins(0, 4, 0, 0);
        l->addWidget(h);
    };
    subheading("Filters");
    toggle("Drop clock", "", &Bridge::dropClock, &Bridge::setDropClock);
    toggle("Drop active sensing", "", &Bridge::dropSensing, &Bridge::setDropSensing);
    toggle("Block echo",
           "Drops a message that comes straight back from the port it was just sent to.",
           &Bridge::blockEcho, &Bridge::setBlockEcho);
    toggle("Pace system exclusive",
           "Sends SysEx toward the serial port at MIDI DIN speed so long dumps are not cut off.",
           &Bridge::paceSysex, &Bridge::setPaceSysex);
    subheading("When it opens");
    toggle("Do not reset the board",
           "Opens the port without pulsing DTR. Applies the next time the port opens.",
           &Bridge::holdDTR, &Bridge::setHoldDTR);
    toggle("Reconnect when the device returns", "", &Bridge::reconnects, &Bridge::setReconnects);
    subheading("When Tessaryn starts");
    addStartSettings(l);
    setLayout(l);
}

// Read once when the program starts, so they apply at the next start.
void RoutingSection::addStartSettings(QVBoxLayout* l) {
    Preferences& prefs = bridge_.preferences();
    openAtLogin_ = new QCheckBox("Open at login");
    openAtLogin_->setToolTip(
        "Adds Tessaryn to your desktop's autostart; the desktop must honour XDG autostart.");
    openAtLogin_->setChecked(prefs.boolean("openAtLogin").value_or(false));
    connect(openAtLogin_, &QCheckBox::toggled, this, [this](bool on) { openAtLoginChanged(on); });
    l->addWidget(openAtLogin_);
    // Unlike the rest of the window, this starts the board without being asked each time: with
    // Open at login, logging in is enough to play.
    auto* startOnOpen = new QCheckBox("Start bridging when Tessaryn opens");
    startOnOpen->setToolTip("Opens the saved serial port as Start in the tray menu does.");
    startOnOpen->setChecked(prefs.boolean("startOnOpen").value_or(false));
    connect(startOnOpen, &QCheckBox::toggled, this,
            [&prefs](bool on) { prefs.setBoolean("startOnOpen", on); });
    l->addWidget(startOnOpen);

    auto* row = new QHBoxLayout;
    midiSystem_ = new QComboBox;
    auto* midiLabel = new QLabel("MIDI system");
    midiLabel->setBuddy(midiSystem_);
    row->addWidget(midiLabel);
    midiSystem_->addItem("ALSA", "alsa");
    midiSystem_->addItem("JACK", "jack");
    midiSystem_->setToolTip("JACK needs a running JACK server (jackd or PipeWire's).");
    midiSystem_->setCurrentIndex(prefs.text("midi") == "jack" ? 1 : 0);
    connect(midiSystem_, &QComboBox::activated, this, [this, &prefs](int i) {
        prefs.setText("midi", midiSystem_->itemData(i).toString().toStdString());
    });
    row->addWidget(midiSystem_, 1);
    l->addLayout(row);

    row = new QHBoxLayout;
    auto* nameLabel = new QLabel("Instance name");
    row->addWidget(nameLabel);
    auto saved = [this, &prefs] { return prefs.text("name").value_or(autostart_.instanceName()); };
    instanceName_ = new QLineEdit(fromStd(saved()));
    nameLabel->setBuddy(instanceName_);
    instanceName_->setToolTip(
        "Names the MIDI ports (\"NAME Out\", \"NAME In\"); one per board when several run. "
        "--name on the command line overrides it.");
    connect(instanceName_, &QLineEdit::editingFinished, this, [this, &prefs, saved] {
        const std::string name = instanceName_->text().toStdString();
        if (auto problem = instanceNameProblem(name)) {
            bridge_.setStatus("Instance name: " + *problem);
            instanceName_->setText(fromStd(saved()));
        } else if (name != saved()) {
            prefs.setText("name", name);
        }
    });
    row->addWidget(instanceName_, 1);
    l->addLayout(row);
    auto* note = caption("The MIDI system and the name take effect the next time Tessaryn starts.");
    note->setWordWrap(true);
    l->addWidget(note);
}

void RoutingSection::redraw(const Changes& c) {
    using P = BridgeProperty;
    if (c.any({P::midiDestinations, P::hardwareOutID})) {
        showEntries(sendTo_, midiEntries(bridge_.midiDestinations(), bridge_.hardwareOutID()),
                    QVariant::fromValue<qlonglong>(bridge_.hardwareOutID()));
    }
    if (c.any({P::midiSources, P::hardwareInID})) {
        showEntries(listenTo_, midiEntries(bridge_.midiSources(), bridge_.hardwareInID()),
                    QVariant::fromValue<qlonglong>(bridge_.hardwareInID()));
    }
    if (c.any({P::dropClock, P::dropSensing, P::blockEcho, P::paceSysex, P::holdDTR,
               P::reconnects})) {
        for (auto [box, get] : toggles_) {
            QSignalBlocker block(box);
            box->setChecked((bridge_.*get)());
        }
    }
}

void RoutingSection::followAutostart() {
    const bool registered = autostart_.enabled();
    if (registered != openAtLogin_->isChecked()) {
        suppressLoginWrite_ = true;
        openAtLogin_->setChecked(registered);
    }
}

void RoutingSection::openAtLoginChanged(bool on) {
    bridge_.preferences().setBoolean("openAtLogin", on);
    if (suppressLoginWrite_) {
        suppressLoginWrite_ = false;
        return;
    }
    if (auto error = autostart_.setEnabled(on)) bridge_.setStatus(*error);
}

}  // namespace tessaryn
