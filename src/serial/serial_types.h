#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessaryn {

enum class Parity { none, even, odd };

inline constexpr std::array<Parity, 3> kAllParities{Parity::none, Parity::even, Parity::odd};

// "None", "Even", "Odd": the text the preferences hold.
std::string_view rawValue(Parity p);
// Exact, case-sensitive match of a raw value; anything else gives no value.
std::optional<Parity> parityFromRaw(std::string_view text);

// The one error opening a serial device raises; its message is shown as the status.
class SerialError : public std::runtime_error {
  public:
    explicit SerialError(std::string message)
        : std::runtime_error(message), message(std::move(message)) {}
    std::string message;
};

}  // namespace tessaryn
