#pragma once
// Waiting in tests: on state other threads hand over (woken by each change), or, for what nothing
// announces (another process's output, a counter of the program), by looking again and again.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tessaryn::testing {

using namespace std::chrono_literals;

// State other threads change under `m`, notifying `cv`.
struct Shared {
    std::mutex m;
    std::condition_variable cv;
    template <typename F>
    void change(F&& f) {
        std::lock_guard lock(m);
        f();
        cv.notify_all();
    }
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, timeout, done);
    }
};

inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

}  // namespace tessaryn::testing
