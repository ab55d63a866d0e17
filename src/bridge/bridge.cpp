#include "bridge/bridge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace tessaryn {

namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A stored ID outside the 32-bit range is no MIDI unique ID: none.
std::int32_t midiID(std::int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX ? static_cast<std::int32_t>(v) : 0;
}

// Both paths lead to one file (std::filesystem::equivalent refuses device nodes).
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa = {};
    struct stat sb = {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string deviceName(std::string path) {
    for (std::size_t at; (at = path.find("/dev/")) != std::string::npos;) path.erase(at, 5);
    return path;
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

    const Preferences& p = *prefs_;
    remapNotes_ = p.boolean("remapNotes").value_or(true);
    targetNote_ = std::clamp<std::int64_t>(p.integer("targetNote").value_or(38), 0, 127);
    forceDrumChannel_ = p.boolean("forceDrumChannel").value_or(false);
    dropClock_ = p.boolean("dropClock").value_or(true);
    dropSensing_ = p.boolean("dropSensing").value_or(true);
    blockEcho_ = p.boolean("blockEcho").value_or(true);
    paceSysex_ = p.boolean("paceSysex").value_or(true);
    holdDTR_ = p.boolean("holdDTR").value_or(false);
    reconnects_ = p.boolean("reconnects").value_or(true);
    velocityCurve_ = p.real("velocityCurve").value_or(1.0);
    hardwareOutID_ = p.integer("hardwareOutID").value_or(0);
    hardwareInID_ = p.integer("hardwareInID").value_or(0);

    if (auto stored = p.data("learnedRoutes")) {
        // Undecodable data stays stored untouched until the routes next change.
        if (auto decoded = decodeRoutes(*stored)) setRoutes(std::move(*decoded));
    }

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
    publish(remapNotes_, v, BridgeProperty::remapNotes);
    persistAndApply();
}
void Bridge::setForceDrumChannel(bool v) {
    publish(forceDrumChannel_, v, BridgeProperty::forceDrumChannel);
    persistAndApply();
}
void Bridge::setDropClock(bool v) {
    publish(dropClock_, v, BridgeProperty::dropClock);
    persistAndApply();
}
void Bridge::setDropSensing(bool v) {
    publish(dropSensing_, v, BridgeProperty::dropSensing);
    persistAndApply();
}
void Bridge::setBlockEcho(bool v) {
    publish(blockEcho_, v, BridgeProperty::blockEcho);
    persistAndApply();
}
void Bridge::setPaceSysex(bool v) {
    publish(paceSysex_, v, BridgeProperty::paceSysex);
    persistAndApply();
}
void Bridge::setVelocityCurve(double v) {
    publish(velocityCurve_, v, BridgeProperty::velocityCurve);
    persistAndApply();
}
void Bridge::setHardwareOutID(std::int64_t v) {
    publish(hardwareOutID_, v, BridgeProperty::hardwareOutID);
    persistAndApply();
}
void Bridge::setHardwareInID(std::int64_t v) {
    publish(hardwareInID_, v, BridgeProperty::hardwareInID);
    persistAndApply();
}

void Bridge::setTargetNote(std::int64_t v) {
    publish(targetNote_, v, BridgeProperty::targetNote);
    if (v < 0 || v > 127)
        publish(targetNote_, std::clamp<std::int64_t>(v, 0, 127), BridgeProperty::targetNote);
    persistAndApply();
}

// These two take effect later (the next opening, the next loss), so they are only stored.
void Bridge::setHoldDTR(bool v) {
    publish(holdDTR_, v, BridgeProperty::holdDTR);
    prefs_->setBoolean("holdDTR", v);
}
void Bridge::setReconnects(bool v) {
    publish(reconnects_, v, BridgeProperty::reconnects);
    prefs_->setBoolean("reconnects", v);
}

void Bridge::setRoutes(std::vector<LearnedRoute> v) {
    publish(routes_, std::move(v), BridgeProperty::routes);
    persistRoutes();
}

void Bridge::setLearning(bool v) {
    learningForSerial_.store(v);
    publish(learning_, v, BridgeProperty::learning);
}

void Bridge::setPendingLearn(std::optional<PendingLearn> v) {
    publish(pendingLearn_, v, BridgeProperty::pendingLearn);
}
void Bridge::setLearnDestination(std::int64_t v) {
    publish(learnDestination_, v, BridgeProperty::learnDestination);
}
void Bridge::setMidiSources(std::vector<MIDIPortChoice> v) {
    publish(midiSources_, std::move(v), BridgeProperty::midiSources);
}
void Bridge::setMidiDestinations(std::vector<MIDIPortChoice> v) {
    publish(midiDestinations_, std::move(v), BridgeProperty::midiDestinations);
}
void Bridge::setRunning(bool v) {
    publish(running_, v, BridgeProperty::running);
}
void Bridge::setStatus(std::string v) {
    publish(status_, std::move(v), BridgeProperty::status);
}

void Bridge::refreshMIDIPorts() {
    if (!midi_) return;
    auto [sources, destinations] = midi_->availablePorts();
    setMidiSources(std::move(sources));
    setMidiDestinations(std::move(destinations));
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
            for (const auto& off : offs) sendToMIDI(off, outID);
        });
    }
    if (midi_) midi_->listen(midiID(hardwareInID_));
}

void Bridge::persistRoutes() {
    prefs_->setData("learnedRoutes", encodeRoutes(routes_));
    persistAndApply();
}

void Bridge::sendToMIDI(const MIDIMessage& m, std::int32_t hardwareOutID) {
    if (midi_) tessaryn::sendToMIDI(*midi_, m, hardwareOutID);
}

// ---- connections ------------------------------------------------------------------------------

void Bridge::startFromSaved() {
    prefs_->reload();  // another process (tessaryn --set) may have chosen the port meanwhile
    const std::string port = prefs_->text("port").value_or("");
    if (port.empty()) {
        setStatus("Choose a serial port in the window.");
        return;
    }
    const Parity parity =
        parityFromRaw(prefs_->text("parity").value_or("None")).value_or(Parity::none);
    start(port, prefs_->integer("baud").value_or(115200), prefs_->integer("dataBits").value_or(8),
          parity, prefs_->boolean("twoStop").value_or(false),
          prefs_->boolean("hwFlow").value_or(false));
}

void Bridge::start(const std::string& port, std::int64_t baud, std::int64_t dataBits, Parity parity,
                   bool twoStopBits, bool hardwareFlow) {
    reconnectItem_.cancel();
    link_ = Link{port, baud, dataBits, parity, twoStopBits, hardwareFlow};
    linkDevice_ = {};
    open(port);
}

void Bridge::resetCounters() {
    parserGeneration_.fetch_add(1);
    readerLossesAtStart_ = midi_->service().losses().toReaders;
    readerLossesShown_ = false;
    publish(bytesIn_, 0, BridgeProperty::bytesIn);
    publish(bytesOut_, 0, BridgeProperty::bytesOut);
    publish(lastMapped_, std::string(kWaitingForHit), BridgeProperty::lastMapped);
}

// The common end of start and tryReconnect: fresh parsers and counters, then the device at
// `path`, with the settings of link_, which stays what the user chose whatever is opened.
void Bridge::open(const std::string& path) {
    if (!midi_) return;  // shut down: nothing may start again
    resetCounters();
    const Link& link = *link_;
    try {
        serial_->start(path, link.baud, link.dataBits, link.parity, link.twoStopBits,
                       link.hardwareFlow, holdDTR_);
    } catch (const SerialError& e) {
        setRunning(false);
        setStatus(e.message);
        if (reconnects_ && !userStopped_) scheduleReconnect();
        return;
    }
    userStopped_ = false;
    watch_.reset();
    retryDelay_ = kFirstRetry;
    // The board the user chose is learned once, from its own path; another board opened in its
    // place never becomes it.
    if (linkDevice_.identity.empty() && path == link.path) {
        for (auto& d : listPorts_()) {
            if (sameFile(d.path, path)) linkDevice_ = std::move(d);
        }
    }
    setRunning(true);
    setStatus("Bridging " + deviceName(path) + " @ " + std::to_string(link.baud));
}

void Bridge::stop() {
    userStopped_ = true;
    reconnectItem_.cancel();
    watch_.reset();
    serial_->stop();
    // Reading has stopped; the chunk in hand, if any, sends its notes before these note-offs.
    serial_->queue().sync([this] { endHeldNotes(); });
    setRunning(false);
    setStatus("Stopped");
}

void Bridge::deviceClosed(const std::string& message) {
    endHeldNotes();  // on the serial queue, at once
    main_.post([weak = weak_from_this(), message] {
        auto self = weak.lock();
        if (!self) return;
        self->setRunning(false);
        if (self->reconnects_ && !self->userStopped_) {
            self->scheduleReconnect();  // watching before anyone is told the board is gone
            self->setStatus("Device unplugged. Waiting for it to return.");
        } else {
            self->setStatus(message);
        }
    });
}

void Bridge::scheduleReconnect() {
    if (!watch_ && link_) {
        // The folder of the saved path (a by-id link lives in dev/serial/by-id), and where a
        // replugged board may appear under another name.
        std::vector<std::filesystem::path> dirs{std::filesystem::path(link_->path).parent_path(),
                                                "/dev", "/dev/serial/by-id"};
        auto attempt = [&main = main_, weak = weak_from_this()] {
            main.post([weak] {
                if (auto self = weak.lock()) {
                    // A node that just appeared may not open for a moment: retry soon.
                    self->retryDelay_ = kFirstRetry;
                    self->tryReconnect();
                }
            });
        };
        watch_ = std::make_unique<DeviceNodeWatch>(serial_->queue(), std::move(dirs), attempt);
    }
    reconnectItem_.cancel();
    // A board that is gone comes back as a new node, which the watch reports, so waiting for
    // it makes no wake-ups. The timed attempt serves a node that is there but cannot be opened
    // yet (not ready, busy, no permission), sooner right after it appeared, and a system that
    // refused the watch.
    std::error_code ec;
    if (watch_ && watch_->watching() && link_ && !std::filesystem::exists(link_->path, ec) &&
        retryDelay_ >= kLastRetry)
        return;
    reconnectItem_ = main_.postAfter(retryDelay_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->tryReconnect();
    });
    retryDelay_ = std::min(retryDelay_ * 2, kLastRetry);
}

void Bridge::tryReconnect() {
    if (running_) return;
    if (!reconnects_ || userStopped_ || !link_) {
        watch_.reset();
        return;
    }
    // The board the user chose, by its identity once known, under whatever node it now has (a
    // different board at its old path is never opened); before that, its path; else the only
    // USB adapter present, never a built-in UART the user did not choose.
    std::optional<std::string> path;
    std::error_code ec;
    if (linkDevice_.identity.empty() && std::filesystem::exists(link_->path, ec)) {
        path = link_->path;
    } else {
        path = replacementDevice(linkDevice_.identity, listPorts_());
    }
    if (!path) {
        retryDelay_ = kLastRetry;  // nothing to retry: the next node to appear is the news
        scheduleReconnect();
        return;
    }
    reconnectItem_.cancel();
    open(*path);
}

void Bridge::endHeldNotes() {
    std::vector<MIDIMessage> offs;
    std::int32_t outID;
    {
        std::lock_guard lock(gate_);
        offs = path_.rewriter.releaseAll();
        outID = path_.traffic.hardwareOutID;
    }
    for (const auto& off : offs) {
        if (!off.empty()) sendToMIDI(off, outID);
    }
}

// ---- serial to MIDI ---------------------------------------------------------------------------

// The texts of the last messages that have one (as many as anyone sees), oldest first:
// earlier ones are not made at all.
std::vector<std::string> Bridge::monitorTexts(std::span<const MIDIMessage> messages,
                                              bool fromPad) const {
    std::vector<std::string> texts;
    if (!monitorShown_.load(std::memory_order_relaxed)) return texts;
    const std::size_t limit = monitorLines_.load(std::memory_order_relaxed);
    for (auto m = messages.rbegin(); m != messages.rend() && texts.size() < limit; ++m) {
        if (auto text = monitorText(*m, fromPad)) texts.push_back(std::move(*text));
    }
    std::reverse(texts.begin(), texts.end());
    return texts;
}

void Bridge::handleSerial(std::span<const std::uint8_t> bytes) {
    if (const auto generation = parserGeneration_.load(); generation != parserSeen_) {
        parser_ = MIDIStreamParser{};
        parserSeen_ = generation;
    }
    std::vector<MIDIMessage> messages;
    for (std::uint8_t b : bytes) {
        parser_.feed(b,
                     [&](MIDIStreamParser::Bytes m) { messages.emplace_back(m.begin(), m.end()); });
    }
    if (messages.empty() && bytes.empty()) return;

    if (learningForSerial_.load()) {
        for (const auto& m : messages) {
            const bool cc = m.size() >= 2 && m[0] >= 0xB0 && m[0] <= 0xBF;
            const bool noteOn = m.size() >= 3 && m[0] >= 0x90 && m[0] <= 0x9F && m[2] != 0;
            if (!cc && !noteOn) continue;
            const PendingLearn capture{cc, m[1]};
            main_.post([weak = weak_from_this(), capture] {
                auto self = weak.lock();
                if (!self) return;
                self->setPendingLearn(capture);
                self->setLearnDestination(capture.source);
                self->setLearning(false);
            });
            break;
        }
    }

    std::vector<MessagePath::Forwarded> forwarded;
    std::int32_t outID;
    bool remapOn;
    {
        std::lock_guard lock(gate_);
        outID = path_.traffic.hardwareOutID;
        remapOn = path_.rewriter.enabled;
        forwarded = path_.fromDevice(messages, monotonicSeconds());
    }
    std::vector<MIDIMessage> sent;
    sent.reserve(forwarded.size());
    for (auto& f : forwarded) sent.push_back(std::move(f.message));

    if (!sent.empty()) sendAllToMIDI(*midi_, sent, outID);
    // Only the chunk's last hit line is ever seen.
    std::optional<std::string> hit;
    for (std::size_t i = sent.size(); i-- > 0 && !hit;) {
        hit = drumHitLine(messages[forwarded[i].origin], sent[i], remapOn);
    }
    main_.post([weak = weak_from_this(), count = static_cast<std::int64_t>(bytes.size()),
                hit = std::move(hit), any = !sent.empty(), texts = monitorTexts(sent, true)] {
        auto self = weak.lock();
        if (!self) return;
        self->publish(self->bytesIn_, self->bytesIn_ + count, BridgeProperty::bytesIn);
        if (hit) self->publish(self->lastMapped_, *hit, BridgeProperty::lastMapped);
        if (!any) return;
        self->pulse();
        self->appendMonitor(texts);
        self->noticeReaderLosses();
    });
}

void Bridge::noticeReaderLosses() {
    if (readerLossesShown_ || !midi_) return;  // !midi_: after shutdown
    const std::uint64_t lost = midi_->service().losses().toReaders - readerLossesAtStart_;
    if (lost == 0) return;
    readerLossesShown_ = true;
    appendMonitor(
        {"MIDI · " + std::to_string(lost) + " messages dropped for a reader that is not reading"});
}

// ---- MIDI to serial ---------------------------------------------------------------------------

void Bridge::handleMIDIIn(std::span<const MIDIService::Event> events, bool lostBefore) {
    if (const auto generation = parserGeneration_.load(); generation != midiInParserSeen_) {
        midiInParser_ = EventParser{};
        midiInParserSeen_ = generation;
    }
    const double now = monotonicSeconds();
    std::vector<MIDIMessage> messages;
    midiInParser_.feed(events, lostBefore, now, messages);
    std::int64_t count = 0;
    for (const auto& e : events) count += static_cast<std::int64_t>(e.bytes.size());

    std::vector<MIDIMessage> toWrite;
    bool pace;
    {
        std::lock_guard lock(gate_);
        pace = path_.traffic.paceSysex;
        toWrite = path_.fromMIDI(std::move(messages), now);
    }
    if (toWrite.empty()) return;

    auto texts = monitorTexts(toWrite, false);
    std::vector<SerialPort::Message> batch;
    batch.reserve(toWrite.size());
    for (auto& m : toWrite) {
        const bool paced = pace && m[0] == 0xF0;
        batch.push_back({std::move(m), paced});
    }
    serial_->write(std::move(batch));  // one hand-off for the whole packet
    main_.post([weak = weak_from_this(), count, texts = std::move(texts)] {
        auto self = weak.lock();
        if (!self) return;
        self->publish(self->bytesOut_, self->bytesOut_ + count, BridgeProperty::bytesOut);
        self->pulse();
        self->appendMonitor(texts);
    });
}

// The device stopped taking bytes for a while, or took some again.
void Bridge::deviceStalled(bool stalled) {
    main_.post([weak = weak_from_this(), stalled] {
        auto self = weak.lock();
        if (!self) return;
        if (stalled && self->running_ && self->status_ != kNotReading) {
            self->statusBeforeStall_ = self->status_;
            self->setStatus(kNotReading);
        } else if (!stalled && self->status_ == kNotReading) {
            self->setStatus(self->statusBeforeStall_);
        }
    });
}

// ---- feedback ---------------------------------------------------------------------------------

void Bridge::pulse() {
    const std::int64_t token = ++activityToken_;
    publish(activityLit_, true, BridgeProperty::activityLit);
    main_.postAfter(std::chrono::milliseconds(120), [weak = weak_from_this(), token] {
        auto self = weak.lock();
        if (self && self->activityToken_ == token)
            self->publish(self->activityLit_, false, BridgeProperty::activityLit);
    });
}

void Bridge::setMonitorShown(bool shown, std::size_t linesPerChunk) {
    monitorShown_.store(shown, std::memory_order_relaxed);
    monitorLines_.store(linesPerChunk, std::memory_order_relaxed);
}

void Bridge::appendMonitor(const std::vector<std::string>& texts) {
    if (texts.empty()) return;
    monitorAdded_ = texts;
    for (const auto& text : texts) monitor_.push_back({Uuid::random(), text});
    if (monitor_.size() > kMonitorCap)
        monitor_.erase(monitor_.begin(), monitor_.end() - kMonitorCap);
    announce(BridgeProperty::monitor);
}

// ---- learning ---------------------------------------------------------------------------------

void Bridge::addLearned() {
    if (!pendingLearn_) return;
    const PendingLearn p = *pendingLearn_;
    auto kept = routes_;
    std::erase_if(kept,
                  [&](const LearnedRoute& r) { return r.isCC == p.isCC && r.source == p.source; });
    setRoutes(kept);
    kept.push_back({Uuid::random(), p.isCC, p.source, learnDestination_});
    setRoutes(std::move(kept));
    setPendingLearn(std::nullopt);
}

void Bridge::removeRoute(const LearnedRoute& route) {
    auto kept = routes_;
    std::erase_if(kept, [&](const LearnedRoute& r) { return r.id == route.id; });
    setRoutes(std::move(kept));
}

}  // namespace tessaryn
