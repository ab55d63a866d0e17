#include "cli/journal.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessaryn {

bool notifyServiceManager(const char* notifySocket, std::string_view state) {
    if (!notifySocket) return true;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(notifySocket);
    if (length < 2 || length >= sizeof to.sun_path ||
        (notifySocket[0] != '/' && notifySocket[0] != '@')) {
        errno = EINVAL;
        return false;
    }
    std::memcpy(to.sun_path, notifySocket, length);
    if (to.sun_path[0] == '@') to.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), size);
    const int error = errno;
    ::close(fd);
    errno = error;
    return sent == static_cast<ssize_t>(state.size());
}

bool isJournalStream(const char* journalStream, int fd) {
    if (!journalStream) return false;
    std::uintmax_t dev = 0, ino = 0;
    int end = 0;
    if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%n", &dev, &ino, &end) != 2 ||
        journalStream[end] != '\0')
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    // A child of a service inherits the variable but may write elsewhere: compare the stream.
    return st.st_dev == dev && st.st_ino == ino;
}

Journal::Journal(const char* journalStream, int outFd, int errFd)
    : outMarked_(isJournalStream(journalStream, outFd)),
      errMarked_(isJournalStream(journalStream, errFd)) {}

Journal Journal::fromEnvironment() {
    return Journal(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO, STDERR_FILENO);
}

std::string Journal::format(Stream stream, Level level, std::string_view text) const {
    const bool err = stream == Stream::err;
    std::string line;
    if (err ? errMarked_ : outMarked_) line = "<" + std::to_string(int(level)) + ">";
    if (err) line += "tessaryn: ";
    line += text;
    line += '\n';
    return line;
}

void Journal::write(Stream stream, Level level, std::string_view text) const {
    FILE* file = stream == Stream::err ? stderr : stdout;
    const std::string line = format(stream, level, text);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

}  // namespace tessaryn
