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

HeadlessLock::HeadlessLock(std::string_view name, fs::path runtimeDir) {
    if (runtimeDir.empty()) {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        runtimeDir = xdg && *xdg == '/'
                         ? fs::path(xdg) / "tessaryn"
                         : fs::path("/tmp") / ("tessaryn-" + std::to_string(::getuid()));
    }
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
        problem_ = errno == EWOULDBLOCK ? "Another tessaryn named \"" + std::string(name) +
                                              "\" is running; give this one another --name"
                                        : "Cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        return;
    }
    fd_ = fd;
}

HeadlessLock::~HeadlessLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace tessaryn
