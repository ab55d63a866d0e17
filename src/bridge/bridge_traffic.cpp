// Both message paths as the engine runs them (the serial queue and the MIDI receive thread),
// and what they show: counters, the activity light, the monitor, learning.
#include <algorithm>
#include <iterator>
#include <utility>

#include "bridge/bridge.h"
#include "serial/stage_times.h"

namespace tessaryn {

namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- serial to MIDI ---------------------------------------------------------------------------

void Bridge::handleSerial(std::span<const std::uint8_t> bytes) {
    if (const auto generation = parserGeneration_.load(); generation != parserSeen_) {
        parser_ = MIDIStreamParser{};
        parserSeen_ = generation;
    }
    auto& messages = deviceMessages_;
    messages.clear();
    for (std::uint8_t b : bytes) {
        parser_.feed(b, [&](MIDIStreamParser::Bytes m) { messages.emplace_back(m); });
    }
    stages::mark(stages::parsed);
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

    std::int32_t outID;
    bool remapOn;
    {
        std::lock_guard lock(gate_);
        outID = path_.traffic.hardwareOutID;
        remapOn = path_.rewriter.enabled;
        forwarded_ = path_.fromDevice(messages, monotonicSeconds(), std::move(forwarded_));
    }
    sent_.clear();
    for (auto& f : forwarded_) sent_.push_back(std::move(f.message));

    if (!sent_.empty()) midi_->service().publishAll(sent_, outID);
    stages::mark(stages::handedOver);
    Shown shown{.bytesIn = static_cast<std::int64_t>(bytes.size()),
                .forwarded = !sent_.empty(),
                .hit = {},
                .remapOn = remapOn};
    // Only the chunk's last hit line is ever seen.
    for (std::size_t i = sent_.size(); i-- > 0 && !shown.hit;) {
        const MIDIMessage& raw = messages[forwarded_[i].origin];
        if (isNote(raw) && sent_[i].size() >= 2) shown.hit.emplace(raw, sent_[i]);
    }
    showLater(shown, sent_, true);
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
    auto& messages = midiMessages_;
    messages.clear();
    midiInParser_.feed(events, lostBefore, now, messages);
    std::int64_t count = 0;
    for (const auto& e : events) count += static_cast<std::int64_t>(e.bytes.size());

    bool pace;
    {
        std::lock_guard lock(gate_);
        pace = path_.traffic.paceSysex;
        messages = path_.fromMIDI(std::move(messages), now);
    }
    if (messages.empty()) return;

    toDevice_.clear();
    for (const auto& m : messages) toDevice_.push_back({m, pace && m[0] == 0xF0});
    serial_->write(toDevice_);  // one hand-off for the whole packet
    showLater({.bytesOut = count, .forwarded = true, .hit = {}, .remapOn = false}, messages, false);
}

// The device stopped taking bytes for a while, or took some again.
void Bridge::deviceStalled(bool stalled) {
    main_.post([weak = weak_from_this(), stalled] {
        auto self = weak.lock();
        if (!self) return;
        if (stalled && self->state_ == BridgeState::bridging) {
            self->statusBeforeStall_ = self->status_;
            self->setState(BridgeState::notReading, kNotReading);
        } else if (!stalled && self->state_ == BridgeState::notReading) {
            self->setState(BridgeState::bridging, self->statusBeforeStall_);
        }
    });
}

// ---- feedback ---------------------------------------------------------------------------------

void Bridge::showLater(const Shown& shown, std::span<const MIDIMessage> messages, bool fromPad) {
    std::lock_guard lock(shownLock_);
    Shown& g = gathered_.shown;
    g.bytesIn += shown.bytesIn;
    g.bytesOut += shown.bytesOut;
    g.forwarded = g.forwarded || shown.forwarded;
    if (shown.hit) {
        g.hit = shown.hit;
        g.remapOn = shown.remapOn;
    }
    if (monitorShown_.load(std::memory_order_relaxed)) {
        const std::size_t wanted = monitorLines_.load(std::memory_order_relaxed);
        const std::size_t limit = std::min(wanted, kMostGathered);
        auto& kept = gathered_.monitored;
        std::size_t skip = static_cast<std::size_t>(std::ranges::count_if(messages, monitorShows));
        skip = skip > limit ? skip - limit : 0;
        std::size_t dropped = skip;
        for (const MIDIMessage& m : messages) {
            if (!monitorShows(m)) continue;
            if (skip > 0) {
                --skip;
                continue;
            }
            kept.emplace_back(m, fromPad);
        }
        if (kept.size() > limit) {
            dropped += kept.size() - limit;
            kept.erase(kept.begin(), kept.end() - static_cast<long>(limit));
        }
        // Lines older than anyone sees are no loss; lines a log would show are, and it says so.
        if (wanted > limit) gathered_.unshown += dropped;
    }
    if (showPosted_) return;
    showPosted_ = true;
    main_.postAfter(kShowEvery, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->showGathered();
    });
}

void Bridge::showGathered() {
    Gathered got = std::move(gatherRoom_);
    got.shown = {};
    got.monitored.clear();
    got.unshown = 0;
    {
        std::lock_guard lock(shownLock_);
        auto& waiting = gathered_.monitored;
        if (waiting.size() <= kShownAtOnce) {
            std::swap(got, gathered_);
            showPosted_ = false;
        } else {
            const auto piece = waiting.begin() + kShownAtOnce;
            got.monitored.assign(std::make_move_iterator(waiting.begin()),
                                 std::make_move_iterator(piece));
            waiting.erase(waiting.begin(), piece);
            std::swap(got.shown, gathered_.shown);
            std::swap(got.unshown, gathered_.unshown);
            gathered_.shown.forwarded = true;  // the lines left are of forwarded messages
            main_.post([weak = weak_from_this()] {
                if (auto self = weak.lock()) self->showGathered();
            });
        }
    }
    const Shown& shown = got.shown;
    if (shown.bytesIn) setAndAnnounce(bytesIn_, bytesIn_ + shown.bytesIn, BridgeProperty::bytesIn);
    if (shown.bytesOut)
        setAndAnnounce(bytesOut_, bytesOut_ + shown.bytesOut, BridgeProperty::bytesOut);
    if (shown.hit) {
        if (auto line = drumHitLine(shown.hit->first, shown.hit->second, shown.remapOn))
            setAndAnnounce(lastMapped_, *line, BridgeProperty::lastMapped);
    }
    if (shown.forwarded) {
        pulse();
        std::vector<std::string> texts;
        if (got.unshown > 0)
            texts.push_back(std::to_string(got.unshown) +
                            " monitor lines not shown: too many at once");
        for (const auto& [m, fromPad] : got.monitored) {
            if (auto text = monitorText(m, fromPad)) texts.push_back(std::move(*text));
        }
        appendMonitor(texts);
        noticeReaderLosses();
    }
    gatherRoom_ = std::move(got);
}

void Bridge::pulse() {
    lastActivity_ = std::chrono::steady_clock::now();
    if (activityLit_) return;  // its timer is set and looks at lastActivity_
    setAndAnnounce(activityLit_, true, BridgeProperty::activityLit);
    main_.postAfter(kLitFor, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->dimWhenIdle();
    });
}

void Bridge::dimWhenIdle() {
    const auto idle = std::chrono::steady_clock::now() - lastActivity_;
    if (idle >= kLitFor) {
        setAndAnnounce(activityLit_, false, BridgeProperty::activityLit);
        return;
    }
    main_.postAfter(std::chrono::duration_cast<std::chrono::microseconds>(kLitFor - idle),
                    [weak = weak_from_this()] {
                        if (auto self = weak.lock()) self->dimWhenIdle();
                    });
}

void Bridge::setMonitorShown(bool shown, std::size_t linesPerChunk) {
    monitorShown_.store(shown, std::memory_order_relaxed);
    monitorLines_.store(linesPerChunk, std::memory_order_relaxed);
}

void Bridge::appendMonitor(const std::vector<std::string>& texts) {
    if (texts.empty()) return;
    monitorAdded_ = texts;
    for (const auto& text : texts) monitor_.push_back({++lastMonitorLine_, text});
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
