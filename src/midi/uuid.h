#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryn {

// A 128-bit universally unique identifier.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid random();
    // Accepts the canonical 8-4-4-4-12 form with hexadecimal digits of either case.
    static std::optional<Uuid> parse(std::string_view text);
    // Canonical form, upper case.
    std::string text() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace tessaryn
