#pragma once

// One desktop program per user and instance name. The owner holds a lock file for its whole run
// and listens on a socket beside it, through which a second launch asks it to show its window.
// Plain C++ (no Qt), so that the headless command line can tell whether the desktop program runs.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaryn {

class InstanceLock {
  public:
    // $XDG_RUNTIME_DIR (private to the user by the session's own rules), or none.
    static std::optional<std::filesystem::path> runtimeDir() {
        const char* dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || *dir != '/') return std::nullopt;
        return std::filesystem::path(dir);
    }
    // "tessaryn-NAME" in `dir`, NAME reduced to letters, digits, '-' and '_' so that it stays in
    // that folder whatever the instance name is.
    static std::filesystem::path base(const std::filesystem::path& dir, const std::string& name) {
        std::string safe;
        for (unsigned char c : name) safe += std::isalnum(c) || c == '-' || c == '_' ? c : '_';
        return dir / ("tessaryn-" + safe);
    }
    static std::filesystem::path lockFile(const std::filesystem::path& base) {
        return base.string() + ".lock";
    }
    static std::filesystem::path socketFile(const std::filesystem::path& base) {
        return base.string() + ".socket";
    }

    // Tries to take the lock; owned() tells whether it did.
    explicit InstanceLock(const std::filesystem::path& file)
        : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0) owned_ = true;
    }
    ~InstanceLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    bool owned() const { return owned_; }

    // Whether a running program holds the lock of `file` now (without keeping it).
    static bool heldElsewhere(const std::filesystem::path& file) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return false;
        const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
        ::close(fd);
        return held;
    }

  private:
    int fd_;
    bool owned_ = false;
};

}  // namespace tessaryn
