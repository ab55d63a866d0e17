#include "cli/line_writer.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace tessaryn {

namespace {

// In pieces of a pipe's atomic size, so that a reader's progress shows as it reads.
bool writeAll(int fd, const std::string& text, std::atomic<std::size_t>& written) {
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n =
            ::write(fd, text.data() + at, std::min<std::size_t>(text.size() - at, PIPE_BUF));
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;  // the reader is gone: nothing more can be said
        }
    }
    return true;
}

}  // namespace

LineWriter::LineWriter(int fd, std::size_t limit) : limit_(limit) {
    std::thread(run, fd, state_).detach();
}

LineWriter::~LineWriter() {
    std::unique_lock lock(state_->m);
    state_->closing = true;
    state_->cv.notify_all();
    // While the reader takes what is queued, at most kDrainWait; one that took nothing for
    // kStallWait is not reading, and is not waited for.
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + kDrainWait;
    auto drained = [this] { return state_->lines.empty() && !state_->writing; };
    for (;;) {
        const std::size_t seen = state_->written;
        if (state_->cv.wait_until(lock, std::min(until, Clock::now() + kStallWait), drained) ||
            state_->written == seen || Clock::now() >= until)
            return;
    }
}

void LineWriter::add(std::string line) {
    std::lock_guard lock(state_->m);
    if (state_->bytes + line.size() > limit_) {
        ++state_->dropped;
        return;
    }
    state_->bytes += line.size();
    state_->lines.push_back(std::move(line));
    state_->cv.notify_all();
}

void LineWriter::run(int fd, std::shared_ptr<State> state) {
    ::pthread_setname_np(::pthread_self(), "log.out");
    std::unique_lock lock(state->m);
    for (;;) {
        state->cv.wait(lock, [&] { return !state->lines.empty() || state->closing; });
        if (state->lines.empty() && state->dropped == 0) return;
        std::deque<std::string> lines;
        lines.swap(state->lines);
        state->bytes = 0;
        const std::size_t dropped = std::exchange(state->dropped, 0);
        state->writing = true;
        lock.unlock();
        std::string text;
        for (const auto& line : lines) text += line;
        if (dropped > 0)
            text += std::to_string(dropped) + " lines dropped: this output was not being read\n";
        const bool ok = writeAll(fd, text, state->written);
        lock.lock();
        state->writing = false;
        state->cv.notify_all();
        if (!ok) return;
    }
}

}  // namespace tessaryn
