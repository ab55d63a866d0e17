#include "bridge/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bridge/preferences.h"

namespace tessaryn {

namespace fs = std::filesystem;

std::optional<std::string> instanceNameProblem(std::string_view name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > 40) return "the name is longer than 40 characters";
    if (name == "." || name == "..") return "the name cannot be \".\" or \"..\"";
    if (name.front() == ' ' || name.back() == ' ')
        return "the name cannot begin or end with a space";
    for (const char c : name) {
        if (c == '/') return "the name cannot contain '/'";
        if (c == ':') return "the name cannot contain ':'";
        if (c < 0x20 || c > 0x7E) return "the name takes printable ASCII characters only";
    }
    return std::nullopt;
}

fs::path instanceConfigDir(std::string_view name) {
    if (name == kDefaultInstanceName) return Preferences::defaultDir();
    return Preferences::defaultDir() / "instances" / std::string(name);
}

namespace {

constexpr std::string_view kHeadless = "headless\n", kDesktop = "desktop\n";

}  // namespace

InstanceLock::InstanceLock(std::string_view name, Kind kind, fs::path runtimeDir) {
    if (runtimeDir.empty()) {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        runtimeDir = xdg && *xdg == '/'
                         ? fs::path(xdg) / "tessaryn"
                         : fs::path("/tmp") / ("tessaryn-" + std::to_string(::getuid()));
    }
    socket_ = runtimeDir / (std::string(name) + ".socket");
    const std::string dir = runtimeDir.string();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        problem_ = "Cannot create " + dir + ": " + std::strerror(errno);
        return;
    }
    // In a shared /tmp the folder may be someone else's: use it only when it is ours alone.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        problem_ =
            "Cannot use " + dir + " for the instance lock: it is not a folder only you can enter";
        return;
    }
    const std::string path = (runtimeDir / (std::string(name) + ".lock")).string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        problem_ = "Cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char said[16] = {};
        const ssize_t n = ::pread(fd, said, sizeof said - 1, 0);
        ::close(fd);
        const std::string_view other(said, n > 0 ? std::size_t(n) : 0);
        const std::string quoted = "\"" + std::string(name) + "\"";
        if (error != EWOULDBLOCK) {
            problem_ = "Cannot lock " + path + ": " + std::strerror(error);
        } else if (other == kHeadless) {
            holder_ = Kind::headless;
            problem_ = "A headless tessaryn named " + quoted +
                       " is running and has its MIDI ports; stop it, or give this one another "
                       "--name";
        } else if (other == kDesktop) {
            holder_ = Kind::desktop;
            problem_ = "The desktop program named " + quoted +
                       " is running and has its MIDI ports; quit it, or give this one another "
                       "--name";
        } else {
            problem_ =
                "Another tessaryn named " + quoted + " is running; give this one another --name";
        }
        return;
    }
    const std::string_view self = kind == Kind::headless ? kHeadless : kDesktop;
    // Only a later launch's message depends on this; the lock holds either way.
    [[maybe_unused]] const bool said =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, self.data(), self.size(), 0) > 0;
    fd_ = fd;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace tessaryn
