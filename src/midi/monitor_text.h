#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "midi/midi_message.h"

namespace tessaryn {

// One row of the monitor; the id, counted up from 1, keeps equal texts distinct.
struct MonitorLine {
    std::uint64_t id = 0;
    std::string text;
    friend bool operator==(const MonitorLine&, const MonitorLine&) = default;
};

// Readable line for a message from the pad (fromPad) or from MIDI input; none for clock,
// active sensing and empty messages.
std::optional<std::string> monitorText(const MIDIMessage& m, bool fromPad);
// Whether monitorText has a line for it (clock and active sensing have none).
inline bool monitorShows(const MIDIMessage& m) {
    return !m.empty() && m[0] != 0xF8 && m[0] != 0xFE;
}
// A note on or off: drumHitLine has a line for it.
inline bool isNote(const MIDIMessage& m) {
    return m.size() >= 2 && m[0] >= 0x80 && m[0] <= 0x9F;
}

// What became of a pad note: "hit 60 → Snare 38 · ch 10 · vel 100"; none for non-notes.
std::optional<std::string> drumHitLine(const MIDIMessage& raw, const MIDIMessage& sent,
                                       bool remapOn);

}  // namespace tessaryn
