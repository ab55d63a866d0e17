#pragma once

#include <string>
#include <string_view>

namespace tessaryn {

// The program's own lines: status and traffic on stdout, problems on stderr, each said once.
// When a stream is the journal (JOURNAL_STREAM names its device and inode), its lines start
// with the syslog priority, "<3>" and so on, which the journal files them under.
class Journal {
  public:
    enum class Level { error = 3, warning = 4, info = 6 };
    enum class Stream { out, err };

    // `journalStream` is the value of JOURNAL_STREAM, or null.
    Journal(const char* journalStream, int outFd, int errFd);
    static Journal fromEnvironment();

    // A problem, on stderr as "tessaryn: TEXT".
    void say(Level level, std::string_view text) const { write(Stream::err, level, text); }
    // A status or traffic line, on stdout as it is.
    void print(Level level, std::string_view text) const { write(Stream::out, level, text); }
    // The line as it is written, newline included.
    std::string format(Stream stream, Level level, std::string_view text) const;

  private:
    void write(Stream stream, Level level, std::string_view text) const;
    bool outMarked_ = false, errMarked_ = false;
};

// Tells the service manager a state ("READY=1", "STOPPING=1") on the socket NOTIFY_SOCKET names:
// a path, or an abstract name written with a leading '@'. Nothing when `notifySocket` is null
// (not run as a service that waits for it); false when it could not be sent.
bool notifyServiceManager(const char* notifySocket, std::string_view state);

// Whether `fd` is the stream JOURNAL_STREAM ("DEVICE:INODE") names.
bool isJournalStream(const char* journalStream, int fd);

}  // namespace tessaryn
