#include "midi/drum_voice.h"

namespace tessaryn {

const std::array<DrumVoice, 12> DrumVoice::pad = {{
    {"Kick", 36},
    {"Snare", 38},
    {"Rim", 37},
    {"Clap", 39},
    {"Floor", 41},
    {"Tom", 45},
    {"High Tom", 50},
    {"Closed Hat", 42},
    {"Open Hat", 46},
    {"Crash", 49},
    {"Ride", 51},
    {"Cowbell", 56},
}};

std::optional<std::string_view> DrumVoice::nameFor(std::int64_t note) {
    for (const DrumVoice& v : pad) {
        if (v.note == note) return v.name;
    }
    return std::nullopt;
}

}  // namespace tessaryn
