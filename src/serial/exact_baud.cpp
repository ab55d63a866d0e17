#include "serial/exact_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace tessaryn {

int setExactBaud(int fd, std::int64_t baud) {
    if (baud <= 0 || baud > INT32_MAX) return EINVAL;
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) < 0) return errno;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    if (::ioctl(fd, TCSETS2, &tio) < 0) return errno;
    return 0;
}

std::optional<std::int64_t> readExactBaud(int fd) {
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) < 0) return std::nullopt;
    return static_cast<std::int64_t>(tio.c_ospeed);
}

}  // namespace tessaryn
