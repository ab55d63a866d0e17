#pragma once

#include <optional>
#include <string>

#include "midi/midi_message.h"
#include "midi/uuid.h"

namespace tessaryn {

// One row of the monitor; the id keeps equal texts distinct.
struct MonitorLine {
    Uuid id;
    std::string text;
    friend bool operator==(const MonitorLine&, const MonitorLine&) = default;
};

// Readable line for a message from the pad (fromPad) or from MIDI input; none for clock,
// active sensing and empty messages.
std::optional<std::string> monitorText(const MIDIMessage& m, bool fromPad);

// What became of a pad note: "hit 60 → Snare 38 · ch 10 · vel 100"; none for non-notes.
std::optional<std::string> drumHitLine(const MIDIMessage& raw, const MIDIMessage& sent,
                                       bool remapOn);

}  // namespace tessaryn
