#include "bridge/message_path.h"

#include <algorithm>
#include <cmath>

namespace tessaryn {

namespace {

double echoWindow(std::size_t length) {
    return std::max(0.05, 0.02 + 0.0004 * static_cast<double>(length));
}

bool filtered(const MIDIMessage& m, const MessagePath::Traffic& t) {
    return m.empty() || (m[0] == 0xF8 && t.dropClock) || (m[0] == 0xFE && t.dropSensing);
}

}  // namespace

std::size_t MessagePath::Recent::Hash::operator()(const MIDIMessage& m) const noexcept {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (std::uint8_t b : m) h = (h ^ b) * 1099511628211ull;
    return static_cast<std::size_t>(h);
}

void MessagePath::Recent::add(const MIDIMessage& m, double expiry) {
    auto at = live_.find(m);
    if (at == live_.end() && spare_.empty()) {
        at = live_.emplace(m, 0).first;
    } else if (at == live_.end()) {
        Live::node_type entry = std::move(spare_.back());
        spare_.pop_back();
        entry.key() = m;
        entry.mapped() = 0;
        at = live_.insert(std::move(entry)).position;
    }
    ++at->second;
    byExpiry_.push({expiry, &at->first});  // a map's keys stay where they are
}

void MessagePath::Recent::forgetUntil(double now) {
    while (!byExpiry_.empty() && byExpiry_.top().first <= now) {
        const auto at = live_.find(*byExpiry_.top().second);
        byExpiry_.pop();
        if (--at->second > 0) continue;
        // A SysEx's entry is not kept: it would hold on to the room of its bytes.
        if (at->first.size() <= MIDIMessage::kInline) {
            spare_.push_back(live_.extract(at));
        } else {
            live_.erase(at);
        }
    }
    const std::size_t keep = std::max(live_.size(), kKeptIdle);
    if (spare_.size() > keep) spare_.erase(spare_.begin() + static_cast<long>(keep), spare_.end());
}

std::uint8_t curvedVelocity(std::uint8_t v, double curve) {
    if (!std::isfinite(curve) || curve < 0 || std::abs(curve - 1.0) <= 0.04) return v;
    const double scaled = std::round(127.0 * std::pow(v / 127.0, curve));
    return static_cast<std::uint8_t>(std::clamp(scaled, 1.0, 127.0));
}

std::vector<MessagePath::Forwarded> MessagePath::fromDevice(std::span<const MIDIMessage> messages,
                                                            double now,
                                                            std::vector<Forwarded> reuse) {
    const Traffic& t = traffic;
    std::vector<Forwarded> sent = std::move(reuse);
    sent.clear();
    if (t.blockEcho) recentWire_.forgetUntil(now);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const MIDIMessage& m = messages[i];
        if (filtered(m, t) || (t.blockEcho && recentWire_.holds(m))) continue;
        // One copy a message: a learned route is looked for only when there is one.
        auto routed = t.routes.empty() ? LearnedResult{} : applyLearned(m, t.routes);
        MIDIMessage out = routed.matched ? std::move(routed.message) : rewriter.rewrite(m);
        if (out.size() >= 3 && (out[0] & 0xF0) == 0x90 && out[2] != 0) {
            out[2] = curvedVelocity(out[2], t.curve);
        }
        if (t.blockEcho) recentOut_.add(out, now + echoWindow(out.size()));
        sent.push_back({std::move(out), i});
    }
    if (t.blockEcho) recentOut_.forgetUntil(now);
    return sent;
}

std::vector<MIDIMessage> MessagePath::fromMIDI(std::vector<MIDIMessage> messages, double now) {
    const Traffic& t = traffic;
    if (t.blockEcho) {
        recentOut_.forgetUntil(now);
        recentWire_.forgetUntil(now);
    }
    std::size_t kept = 0;
    for (auto& m : messages) {
        if (filtered(m, t)) continue;
        if (t.blockEcho) {
            if (recentOut_.holds(m)) continue;
            recentWire_.add(m, now + echoWindow(m.size()));
        }
        if (&m != &messages[kept]) messages[kept] = std::move(m);
        ++kept;
    }
    messages.resize(kept);
    return messages;
}

void EventParser::feed(std::span<const MIDIService::Event> events, bool lostBefore, double now,
                       std::vector<MIDIMessage>& out) {
    if (lostBefore) pending_.clear();
    std::erase_if(pending_,
                  [now](const auto& p) { return now - p.second.lastFed > kSysexPatience; });
    auto emit = [&out](MIDIStreamParser::Bytes m) { out.emplace_back(m.begin(), m.end()); };
    for (const auto& event : events) {
        if (event.bytes.empty()) continue;
        const std::uint8_t first = event.bytes[0];
        auto at = pending_.find(event.source);
        // An event is whole messages or a piece of a SysEx. One that begins with a status byte
        // is whole: where one port carries several programs (JACK merges them), it is another
        // program's message and the open SysEx goes on after it; a new 0xF0 ends it.
        const bool continues = first < 0x80 || first == 0xF7 || first >= 0xF8;
        if (at != pending_.end() && (continues || first != 0xF0)) {
            if (continues) {
                Pending& p = at->second;
                for (std::uint8_t b : event.bytes) p.parser.feed(b, emit);
                p.lastFed = now;
                if (!p.parser.inSysex) pending_.erase(at);
                continue;
            }
        } else if (at != pending_.end()) {
            pending_.erase(at);
        }
        // Running status ends with the event: each starts on a fresh parser, kept only while a
        // SysEx is open at its end.
        MIDIStreamParser parser;
        for (std::uint8_t b : event.bytes) parser.feed(b, emit);
        if (parser.inSysex) pending_[event.source] = {std::move(parser), now};
    }
}

}  // namespace tessaryn
