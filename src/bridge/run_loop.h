#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "bridge/main_queue.h"

namespace tessaryn {

// A main queue without a GUI: the thread that calls run() sleeps until a task is posted or a
// delayed task is due.
class RunLoop final : public MainQueue {
  public:
    void post(std::function<void()> task) override;

    // Runs tasks until quit() is called.
    void run();
    void quit();
    // Runs tasks until `done` holds or `timeout` passes; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs tasks for `duration`.
    void runFor(std::chrono::milliseconds duration);

  protected:
    void schedule(std::chrono::microseconds delay, std::function<void()> task) override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        std::uint64_t seq;
        std::function<void()> task;
        bool operator>(const Timer& o) const { return due != o.due ? due > o.due : seq > o.seq; }
    };
    // Runs at most one task, waiting until `until` for one; false when none ran.
    bool runOne(Clock::time_point until);

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::uint64_t seq_ = 0;
    bool quit_ = false;
    bool timerRanLast_ = false;  // of a due timer and a posted task, which ran last
};

}  // namespace tessaryn
