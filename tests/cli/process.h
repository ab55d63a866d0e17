#pragma once
// Runs the real tessaryn executable as a user would, with its output captured.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "wait.h"

namespace tessaryn::testing {

class Process {
  public:
    // Its output goes to files in memory, which never hold it up; `unreadOut` sends its stdout
    // to a pipe nobody reads instead, as to a paused pager or terminal.
    explicit Process(std::vector<std::string> args, std::string exe = TESSARYN_EXE,
                     bool unreadOut = false) {
        int pipe[2] = {-1, -1};
        if (unreadOut && ::pipe2(pipe, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(unreadOut ? pipe[1] : out_, 1);
            ::dup2(err_, 2);
            std::vector<char*> argv{exe.data()};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        if (unreadOut) ::close(pipe[1]);
        unread_ = pipe[0];
    }
    ~Process() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            wait(5s);
        }
        for (int fd : {out_, err_, unread_}) ::close(fd);
    }

    // Exit status, or -1 when it has not exited in time.
    int wait(std::chrono::milliseconds timeout = 10s) {
        return eventually([&] { return reaped(); }, timeout) ? code_ : -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }

    std::string out() const { return written(out_); }
    std::string err() const { return written(err_); }
    pid_t pid() const { return pid_; }

    // Waits until `done` holds for what stdout holds.
    bool waitFor(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout = 10s) {
        return eventually([&] { return done(out()); }, timeout);
    }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        return waitFor([&](const std::string& out) { return out.find(text) != std::string::npos; },
                       timeout);
    }

  private:
    bool reaped() {
        int status = 0;
        if (!exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exited_;
    }
    static std::string written(int fd) {
        struct stat st {};
        ::fstat(fd, &st);
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        text.resize(static_cast<std::size_t>(
            std::max(::pread(fd, text.data(), text.size(), 0), ssize_t{0})));
        return text;
    }
    // The program writes at the offset it shares with these; reading with pread leaves it alone.
    const int out_ = ::memfd_create("stdout", MFD_CLOEXEC),
              err_ = ::memfd_create("stderr", MFD_CLOEXEC);
    int unread_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

// How many times `what` occurs in `text`: a line the program printed once per event.
inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace tessaryn::testing
