#include "midi/monitor_text.h"

#include <algorithm>
#include <cstdio>

#include "midi/drum_voice.h"

namespace tessaryn {

namespace {

constexpr const char* kDot = " \u00B7 ";
constexpr const char* kArrow = " \u2192 ";

std::string num(int n) {
    return std::to_string(n);
}

std::string voice(int note) {
    if (auto name = DrumVoice::nameFor(note)) return std::string(*name) + " ";
    return {};
}

}  // namespace

std::optional<std::string> monitorText(const MIDIMessage& m, bool fromPad) {
    if (!monitorShows(m)) return std::nullopt;
    std::string line = fromPad ? "Pad  " : "MIDI  ";
    const std::uint8_t s = m[0];
    const int d1 = m.size() > 1 ? m[1] : 0;
    const int d2 = m.size() > 2 ? m[2] : 0;
    const std::string ch = kDot + std::string("ch ") + num((s & 0x0F) + 1);
    const std::uint8_t kind = s >> 4;

    if (s == 0xF0) return line + "SysEx " + std::to_string(m.size()) + " bytes";
    if (kind == 0x9 && m.size() >= 3 && d2 != 0) {
        return line + voice(d1) + num(d1) + kDot + "vel " + num(d2) + ch;
    }
    if (kind == 0x8 || kind == 0x9) return line + "Note off " + num(d1) + ch;
    if (kind == 0xB) return line + "CC " + num(d1) + kDot + num(d2) + ch;
    if (kind == 0xC) return line + "Program " + num(d1) + ch;
    if (kind == 0xE) return line + "Pitch bend" + ch;

    const std::size_t shown = std::min<std::size_t>(6, m.size());
    for (std::size_t i = 0; i < shown; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", m[i]);
        if (i > 0) line += ' ';
        line += hex;
    }
    return line;
}

std::optional<std::string> drumHitLine(const MIDIMessage& raw, const MIDIMessage& sent,
                                       bool remapOn) {
    if (!isNote(raw) || sent.size() < 2) return std::nullopt;
    const bool hit = raw.size() >= 3 && raw[0] >= 0x90 && raw[2] != 0;
    const std::string w = hit ? "hit" : "release";
    const int v = raw.size() >= 3 ? raw[2] : 0;
    const int a = raw[1];
    const int b = sent[1];
    const std::string tail =
        kDot + std::string("ch ") + num((sent[0] & 0x0F) + 1) + kDot + "vel " + num(v);
    if (!remapOn) return w + " " + num(a) + tail + kDot + "unchanged";
    if (a == b) return w + " " + voice(b) + num(b) + tail;
    return w + " " + num(a) + kArrow + voice(b) + num(b) + tail;
}

}  // namespace tessaryn
