#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaryn {

// A named drum note; its identity is the note.
struct DrumVoice {
    std::string_view name;
    std::int64_t note;

    // The twelve voices the pad chooser offers, in display order.
    static const std::array<DrumVoice, 12> pad;

    // Name of the voice that plays `note`, if any.
    static std::optional<std::string_view> nameFor(std::int64_t note);

    friend bool operator==(const DrumVoice& a, const DrumVoice& b) { return a.note == b.note; }
};

}  // namespace tessaryn
