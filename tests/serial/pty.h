#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaryn::testing {

// The test's end of a line (a pty or a board's tty, on which it plays the board; a pipe): what it
// sends and what it receives.
struct LineEnd {
    void send(const std::vector<std::uint8_t>& bytes) const {
        for (std::size_t off = 0; off < bytes.size();) {
            const ssize_t n = ::write(master, bytes.data() + off, bytes.size() - off);
            if (n > 0) off += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return;  // hung up: the board is gone
        }
    }
    // Reads until `count` bytes arrived or `timeout` passed.
    std::vector<std::uint8_t> receive(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::vector<std::uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buf[4096];
            const ssize_t n = ::read(master, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    int master = -1;
};

// A pseudo-terminal standing in for a USB-serial board: the program opens `path`, the test
// plays the board on `master`.
class Pty : public LineEnd {
  public:
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        path = ::ptsname(master);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() { unplug(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void unplug() {
        if (master >= 0) ::close(master);
        master = -1;
    }

    std::string path;
};

}  // namespace tessaryn::testing
