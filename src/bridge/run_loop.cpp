#include "bridge/run_loop.h"

namespace tessaryn {

void RunLoop::post(std::function<void()> task) {
    std::lock_guard lock(m_);
    tasks_.push_back(std::move(task));
    cv_.notify_all();
}

void RunLoop::schedule(std::chrono::microseconds delay, std::function<void()> task) {
    std::lock_guard lock(m_);
    timers_.push(Timer{Clock::now() + delay, seq_++, std::move(task)});
    cv_.notify_all();
}

bool RunLoop::runOne(Clock::time_point until) {
    std::function<void()> task;
    {
        std::unique_lock lock(m_);
        for (;;) {
            if (quit_) return false;
            // Due timers and posted tasks take turns: tasks posted without pause (a flood of
            // input) must not hold back the redraw or a reconnect for ever, nor timers that are
            // always due on a starved thread a posted quit.
            const auto now = Clock::now();
            const bool timerDue = !timers_.empty() && timers_.top().due <= now;
            if (timerDue && (tasks_.empty() || !timerRanLast_)) {
                task = std::move(const_cast<Timer&>(timers_.top()).task);
                timers_.pop();
                timerRanLast_ = true;
                break;
            }
            if (!tasks_.empty()) {
                task = std::move(tasks_.front());
                tasks_.pop_front();
                timerRanLast_ = false;
                break;
            }
            if (now >= until) return false;
            const auto wake = timers_.empty() ? until : std::min(until, timers_.top().due);
            if (wake == Clock::time_point::max()) {
                cv_.wait(lock);  // a deadline this far overflows inside wait_until
            } else {
                cv_.wait_until(lock, wake);
            }
        }
    }
    task();
    return true;
}

void RunLoop::run() {
    {
        std::lock_guard lock(m_);
        quit_ = false;
    }
    while (runOne(Clock::time_point::max())) {
    }
}

void RunLoop::quit() {
    std::lock_guard lock(m_);
    quit_ = true;
    cv_.notify_all();
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= until || !runOne(until)) return done();
    }
    return true;
}

void RunLoop::runFor(std::chrono::milliseconds duration) {
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) runOne(until);
}

}  // namespace tessaryn
