#pragma once

#include <cstdint>
#include <optional>

namespace tessaryn {

// Sets input and output speed to exactly `baud` bits per second (termios2 with BOTHER), standard
// rate or not. Returns 0 or the error number. Kept apart: <asm/termbits.h> clashes with
// <termios.h>.
int setExactBaud(int fd, std::int64_t baud);
// The output speed the driver reports, or none when it cannot be read.
std::optional<std::int64_t> readExactBaud(int fd);

}  // namespace tessaryn
