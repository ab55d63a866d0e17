#include "serial/serial_types.h"

namespace tessaryn {

std::string_view rawValue(Parity p) {
    switch (p) {
        case Parity::even:
            return "Even";
        case Parity::odd:
            return "Odd";
        case Parity::none:
            break;
    }
    return "None";
}

std::optional<Parity> parityFromRaw(std::string_view text) {
    for (Parity p : kAllParities) {
        if (rawValue(p) == text) return p;
    }
    return std::nullopt;
}

}  // namespace tessaryn
