#include "midi/uuid.h"

#include <uuid/uuid.h>

#include <random>

namespace tessaryn {

Uuid Uuid::random() {
    // Every monitor line gets one, so a system call per UUID is too dear: a per-thread
    // generator seeded once from the system's randomness gives version-4 UUIDs cheaply.
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    Uuid u;
    for (int half = 0; half < 2; ++half) {
        const std::uint64_t bits = generator();
        for (int i = 0; i < 8; ++i)
            u.bytes[static_cast<std::size_t>(half * 8 + i)] =
                static_cast<std::uint8_t>(bits >> (8 * i));
    }
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);  // version 4
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    // libuuid's parser wants a NUL-terminated string of exactly 36 characters.
    if (text.size() != 36) return std::nullopt;
    const std::string copy(text);
    Uuid u;
    if (uuid_parse(copy.c_str(), u.bytes.data()) != 0) return std::nullopt;
    return u;
}

std::string Uuid::text() const {
    char buf[37];
    uuid_unparse_upper(bytes.data(), buf);
    return std::string(buf, 36);
}

}  // namespace tessaryn
