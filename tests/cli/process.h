#pragma once
// Runs the real tessaryn executable as a user would, with its output captured.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "wait.h"

namespace tessaryn::testing {

class Process {
  public:
    explicit Process(std::vector<std::string> args, std::string exe = TESSARYN_EXE) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv;
            argv.push_back(exe.data());
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        readers_.emplace_back([this, fd = out[0]] { drain(fd, out_); });
        readers_.emplace_back([this, fd = err[0]] { drain(fd, err_); });
    }
    ~Process() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            wait(5s);
        }
        joinReaders();
    }

    // Exit status, or -1 when it has not exited in time.
    int wait(std::chrono::milliseconds timeout = 10s) {
        return eventually([&] { return reaped(); }, timeout) ? code_ : -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }
    // Stops reading its stdout, as a paused pager or terminal does.
    void pauseOutput() { outPaused_ = true; }

    std::string out() {
        std::lock_guard lock(m_);
        return out_;
    }
    std::string err() {
        std::lock_guard lock(m_);
        return err_;
    }
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
            // Its output may still sit in the pipes: read it all before anyone looks.
            joinReaders();
        }
        return exited_;
    }
    void joinReaders() {
        for (auto& t : readers_) {
            if (t.joinable()) t.join();
        }
    }
    void drain(int fd, std::string& into) {
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
            std::lock_guard lock(m_);
            into.append(buf, static_cast<std::size_t>(n));
            if (&into != &out_ || !outPaused_) continue;
            pollfd hangUp{fd, 0, 0};  // until the program is gone; then the rest is read
            ::poll(&hangUp, 1, -1);
        }
        ::close(fd);
    }
    pid_t pid_ = -1;
    bool exited_ = false;
    std::atomic<bool> outPaused_{false};
    int code_ = -1;
    std::mutex m_;
    std::string out_, err_;
    std::vector<std::thread> readers_;
};

// How many times `what` occurs in `text`: a line the program printed once per event.
inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace tessaryn::testing
