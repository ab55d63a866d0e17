#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "midi/midi_message.h"

namespace tessaryn {

// Sends every pad note as one chosen drum note (optionally on one channel) and remembers where
// each held note went, so its note-off follows it even after the settings change.
class NoteRewriter {
  public:
    struct Key {
        std::uint8_t channel = 0;  // incoming channel 0-15
        std::uint8_t source = 0;   // incoming note
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct Sent {
        std::uint8_t channel = 0;  // channel the note-on went out on
        std::uint8_t note = 0;     // note it went out as
        friend bool operator==(const Sent&, const Sent&) = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept {
            return (std::size_t{k.channel} << 8) | k.source;
        }
    };

    // Returns the message to send instead (same length) and updates `held`.
    MIDIMessage rewrite(const MIDIMessage& m);
    // One note-off [0x80|ch, note, 0] per held note; empties `held`.
    std::vector<MIDIMessage> releaseAll();

    bool enabled = true;
    std::uint8_t target = 38;
    std::optional<std::uint8_t> forceChannel;
    std::unordered_map<Key, Sent, KeyHash> held;
};

}  // namespace tessaryn
