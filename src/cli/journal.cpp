#include "cli/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace tessaryn {

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
