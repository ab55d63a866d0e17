#include "bridge/bridge.h"

#include <algorithm>

#include "bridge/settings_table.h"

namespace tessaryn {

namespace {

// A stored ID outside the 32-bit range is no MIDI unique ID: none.
std::int32_t midiID(std::int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX ? static_cast<std::int32_t>(v) : 0;
}

}  // namespace

Bridge::Bridge(MainQueue& main, std::shared_ptr<Preferences> prefs, PortLister listPorts)
    : main_(main), prefs_(std::move(prefs)), listPorts_(std::move(listPorts)) {
    if (!listPorts_) listPorts_ = [] { return linuxDevices("/dev", "/sys"); };
}

// Destruction runs on the owner's thread: the callbacks never hold the bridge, so the last
// reference cannot be dropped on the serial queue or the MIDI receive thread.
Bridge::~Bridge() {
    observers_.clear();  // observers usually go before the bridge does
    shutdown();
}

void Bridge::shutdown() {
    if (!midi_) return;
    stop();
    // Ends the receive thread; a packet in hand is finished first. The serial port is closed
    // and its queue has run everything handed to it before stop returned.
    midi_.reset();
    showGathered();  // the last lines and counts, before the front end goes
}

std::shared_ptr<Bridge> Bridge::create(MainQueue& main, std::shared_ptr<Preferences> prefs,
                                       const MIDIService::Factory& midi, PortLister listPorts,
                                       const std::string& name) {
    std::shared_ptr<Bridge> bridge(new Bridge(main, std::move(prefs), std::move(listPorts)));
    bridge->initialise(midi, name);
    return bridge;
}

void Bridge::initialise(const MIDIService::Factory& midiFactory, const std::string& name) {
    serial_ = SerialPort::create();
    midi_ = std::make_unique<MIDIEndpoints>(
        name, midiFactory, [&main = main_](std::function<void()> f) { main.post(std::move(f)); });

    takeUpSettings();

    // The serial and MIDI callbacks run on threads the destructor ends before any field goes,
    // so they use the bridge directly and never keep it alive (a last reference dropped on the
    // receive thread would make that thread join itself).
    serial_->onData = [this](std::span<const std::uint8_t> bytes) { handleSerial(bytes); };
    serial_->onClosed = [this](const std::string& message) { deviceClosed(message); };
    serial_->onStall = [this](bool stalled) { deviceStalled(stalled); };
    midi_->setOnMIDIIn([this](std::span<const MIDIService::Event> events, bool lostBefore) {
        handleMIDIIn(events, lostBefore);
    });
    midi_->setOnPortsChanged([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->refreshMIDIPorts();
    });

    persistAndApply();
    refreshMIDIPorts();
    // Another process (tessaryn --set) may change the file while we run: take that up at once.
    settingsWatch_ = std::make_unique<DeviceNodeWatch>(
        serial_->queue(), std::vector{prefs_->file().parent_path()},
        [&main = main_, weak = weak_from_this()] {
            main.post([weak] {
                auto self = weak.lock();
                if (!self || !self->midi_) return;
                if (self->takeUpSettings()) self->persistAndApply();
                if (self->awaitingFirstOpen_ && self->linkFromSaved_) {
                    self->startFromSaved();  // a port saved meanwhile is tried at once
                    self->awaitDevice();
                }
            });
        });
}

// Reads the engine's settings from the store, publishing each that differs; true when any did.
bool Bridge::takeUpSettings() {
    Preferences& p = *prefs_;
    p.reload();
    bool changed = false;
    auto take = [&](auto& field, auto value, BridgeProperty property) {
        if (field == value) return;
        setAndAnnounce(field, std::move(value), property);
        changed = true;
    };
    // An absent key or a value of the wrong type: the settings table's default.
    auto stored = [&](const char* key, auto read) {
        using Value = typename decltype(read(key))::value_type;
        return read(key).value_or(std::get<Value>(defaultValue(*findSetting(key))));
    };
    auto flag = [&](const char* key) {
        return stored(key, [&](const char* k) { return p.boolean(k); });
    };
    auto whole = [&](const char* key) {
        return stored(key, [&](const char* k) { return p.integer(k); });
    };
    using P = BridgeProperty;
    take(remapNotes_, flag("remapNotes"), P::remapNotes);
    take(targetNote_, std::clamp<std::int64_t>(whole("targetNote"), 0, 127), P::targetNote);
    take(forceDrumChannel_, flag("forceDrumChannel"), P::forceDrumChannel);
    take(dropClock_, flag("dropClock"), P::dropClock);
    take(dropSensing_, flag("dropSensing"), P::dropSensing);
    take(blockEcho_, flag("blockEcho"), P::blockEcho);
    take(paceSysex_, flag("paceSysex"), P::paceSysex);
    take(holdDTR_, flag("holdDTR"), P::holdDTR);
    take(reconnects_, flag("reconnects"), P::reconnects);
    take(velocityCurve_, stored("velocityCurve", [&](const char* k) { return p.real(k); }),
         P::velocityCurve);
    take(hardwareOutID_, whole("hardwareOutID"), P::hardwareOutID);
    take(hardwareInID_, whole("hardwareInID"), P::hardwareInID);
    if (auto data = p.data("learnedRoutes")) {
        // Undecodable data stays stored untouched until the routes next change.
        if (auto decoded = decodeRoutes(*data)) take(routes_, std::move(*decoded), P::routes);
    }
    return changed;
}

int Bridge::observe(Observer observer) {
    observers_.emplace(nextObserver_, std::move(observer));
    return nextObserver_++;
}

void Bridge::unobserve(int token) {
    observers_.erase(token);
}

void Bridge::announce(BridgeProperty p) {
    // Copied: an observer may add or remove observers.
    const auto observers = observers_;
    for (const auto& [token, observer] : observers) observer(p);
}

// ---- settings ---------------------------------------------------------------------------------

void Bridge::setRemapNotes(bool v) {
    setAndAnnounce(remapNotes_, v, BridgeProperty::remapNotes);
    persistAndApply();
}
void Bridge::setForceDrumChannel(bool v) {
    setAndAnnounce(forceDrumChannel_, v, BridgeProperty::forceDrumChannel);
    persistAndApply();
}
void Bridge::setDropClock(bool v) {
    setAndAnnounce(dropClock_, v, BridgeProperty::dropClock);
    persistAndApply();
}
void Bridge::setDropSensing(bool v) {
    setAndAnnounce(dropSensing_, v, BridgeProperty::dropSensing);
    persistAndApply();
}
void Bridge::setBlockEcho(bool v) {
    setAndAnnounce(blockEcho_, v, BridgeProperty::blockEcho);
    persistAndApply();
}
void Bridge::setPaceSysex(bool v) {
    setAndAnnounce(paceSysex_, v, BridgeProperty::paceSysex);
    persistAndApply();
}
void Bridge::setVelocityCurve(double v) {
    setAndAnnounce(velocityCurve_, v, BridgeProperty::velocityCurve);
    persistAndApply();
}
void Bridge::setHardwareOutID(std::int64_t v) {
    setAndAnnounce(hardwareOutID_, v, BridgeProperty::hardwareOutID);
    persistAndApply();
}
void Bridge::setHardwareInID(std::int64_t v) {
    setAndAnnounce(hardwareInID_, v, BridgeProperty::hardwareInID);
    persistAndApply();
}

void Bridge::setTargetNote(std::int64_t v) {
    setAndAnnounce(targetNote_, v, BridgeProperty::targetNote);
    if (v < 0 || v > 127)
        setAndAnnounce(targetNote_, std::clamp<std::int64_t>(v, 0, 127),
                       BridgeProperty::targetNote);
    persistAndApply();
}

// These two take effect later (the next opening, the next loss), so they are only stored.
void Bridge::setHoldDTR(bool v) {
    setAndAnnounce(holdDTR_, v, BridgeProperty::holdDTR);
    prefs_->setBoolean("holdDTR", v);
}
void Bridge::setReconnects(bool v) {
    setAndAnnounce(reconnects_, v, BridgeProperty::reconnects);
    prefs_->setBoolean("reconnects", v);
}

void Bridge::setRoutes(std::vector<LearnedRoute> v) {
    setAndAnnounce(routes_, std::move(v), BridgeProperty::routes);
    persistRoutes();
}

void Bridge::setLearning(bool v) {
    learningForSerial_.store(v);
    setAndAnnounce(learning_, v, BridgeProperty::learning);
}

void Bridge::setPendingLearn(std::optional<PendingLearn> v) {
    setAndAnnounce(pendingLearn_, v, BridgeProperty::pendingLearn);
}
void Bridge::setLearnDestination(std::int64_t v) {
    setAndAnnounce(learnDestination_, v, BridgeProperty::learnDestination);
}
void Bridge::setMidiSources(std::vector<MIDIPortChoice> v) {
    setAndAnnounce(midiSources_, std::move(v), BridgeProperty::midiSources);
}
void Bridge::setMidiDestinations(std::vector<MIDIPortChoice> v) {
    setAndAnnounce(midiDestinations_, std::move(v), BridgeProperty::midiDestinations);
}
void Bridge::setRunning(bool v) {
    setAndAnnounce(running_, v, BridgeProperty::running);
}
void Bridge::setState(BridgeState state, std::string status) {
    if (state != state_) setAndAnnounce(state_, state, BridgeProperty::state);
    setStatus(std::move(status));
}
void Bridge::setStatus(std::string v) {
    setAndAnnounce(status_, std::move(v), BridgeProperty::status);
}

void Bridge::refreshMIDIPorts() {
    if (!midi_) return;
    noticeMIDITrouble();
    auto [sources, destinations] = midi_->availablePorts();
    setMidiSources(std::move(sources));
    setMidiDestinations(std::move(destinations));
}

// The MIDI system's own trouble (its server stopped) is the status while it lasts; when it ends,
// the connection's state comes back unless something else has been said since.
void Bridge::noticeMIDITrouble() {
    std::string trouble = midi_->service().trouble();
    if (trouble == midiTrouble_) return;
    if (midiTrouble_.empty()) {
        stateBeforeTrouble_ = state_;
        statusBeforeTrouble_ = status_;
    }
    const bool shown = status_ == midiTrouble_;
    midiTrouble_ = std::move(trouble);
    if (!midiTrouble_.empty()) {
        setState(BridgeState::waiting, midiTrouble_);
    } else if (shown) {
        setState(stateBeforeTrouble_, statusBeforeTrouble_);
    }
}

void Bridge::persistAndApply() {
    {
        Preferences::Batch batch(*prefs_);
        prefs_->setBoolean("remapNotes", remapNotes_);
        prefs_->setInteger("targetNote", targetNote_);
        prefs_->setBoolean("forceDrumChannel", forceDrumChannel_);
        prefs_->setBoolean("dropClock", dropClock_);
        prefs_->setBoolean("dropSensing", dropSensing_);
        prefs_->setBoolean("blockEcho", blockEcho_);
        prefs_->setBoolean("paceSysex", paceSysex_);
        prefs_->setReal("velocityCurve", velocityCurve_);
        prefs_->setInteger("hardwareOutID", hardwareOutID_);
        prefs_->setInteger("hardwareInID", hardwareInID_);
    }
    const auto target = static_cast<std::uint8_t>(std::clamp<std::int64_t>(targetNote_, 0, 127));
    const std::optional<std::uint8_t> forced =
        forceDrumChannel_ ? std::optional<std::uint8_t>(9) : std::nullopt;
    const std::int32_t outID = midiID(hardwareOutID_);

    std::vector<MIDIMessage> offs;
    {
        std::lock_guard lock(gate_);
        NoteRewriter& rewriter = path_.rewriter;
        const bool wasEnabled = rewriter.enabled;
        rewriter.enabled = remapNotes_;
        rewriter.target = target;
        rewriter.forceChannel = forced;
        if (wasEnabled && !remapNotes_) offs = rewriter.releaseAll();
        path_.traffic = {dropClock_,     dropSensing_, blockEcho_, paceSysex_,
                         velocityCurve_, routes_,      outID};
    }
    // A chunk the serial queue is handling may have sent a note-on held by the rewriter: its
    // note-off must not overtake it.
    if (!offs.empty()) {
        serial_->queue().sync([&] {
            if (midi_) midi_->service().publishAll(offs, outID);
        });
    }
    if (midi_) midi_->listen(midiID(hardwareInID_));
}

void Bridge::persistRoutes() {
    prefs_->setData("learnedRoutes", encodeRoutes(routes_));
    persistAndApply();
}

}  // namespace tessaryn
