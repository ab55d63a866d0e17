#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "midi/midi_message.h"

namespace tessaryn {

// Sends every pad note as one chosen drum note (optionally on one channel) and remembers where
// each held note went, so its note-off follows it even after the settings change.
class NoteRewriter {
  public:
    // Returns the message to send instead (same length) and remembers where a note-on went.
    MIDIMessage rewrite(const MIDIMessage& m);
    // One note-off [0x80|ch, note, 0] per held note; forgets them all.
    std::vector<MIDIMessage> releaseAll();

    bool enabled = true;
    std::uint8_t target = 38;
    std::optional<std::uint8_t> forceChannel;

  private:
    struct Sent {
        std::uint8_t channel = 0;  // channel the note-on went out on
        std::uint8_t note = 0;     // note it went out as
    };
    // By incoming channel and note: a hit costs no allocation however many are held.
    std::array<std::optional<Sent>, 16 * 128> held_{};
};

}  // namespace tessaryn
