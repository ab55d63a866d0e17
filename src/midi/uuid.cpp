#include "midi/uuid.h"

#include <uuid/uuid.h>

namespace tessaryn {

Uuid Uuid::random() {
    Uuid u;
    uuid_generate_random(u.bytes.data());
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
