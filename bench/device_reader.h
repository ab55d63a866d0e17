#pragma once
// The board's end of a pseudo-terminal, read on its own thread as fast as bytes come, noting when
// each 3-byte message completed.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tessaryn::bench {

class DeviceReader {
  public:
    using Clock = std::chrono::steady_clock;

    explicit DeviceReader(int fd) : fd_(fd), stop_(::eventfd(0, EFD_CLOEXEC)) {
        arrivals_.reserve(1 << 16);
        thread_ = std::thread([this] { run(); });
    }
    ~DeviceReader() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(stop_);
    }

    // Forgets what was read so far.
    void reset() {
        std::lock_guard lock(m_);
        bytes_ = 0;
        arrivals_.clear();
    }
    std::size_t messages() {
        std::lock_guard lock(m_);
        return arrivals_.size();
    }
    // Waits until `count` messages arrived or `quiet` passed without a byte.
    std::size_t waitMessages(std::size_t count, std::chrono::milliseconds quiet) {
        std::unique_lock lock(m_);
        for (std::size_t seen = bytes_;;) {
            if (cv_.wait_for(lock, quiet,
                             [&] { return arrivals_.size() >= count || bytes_ != seen; })) {
                if (arrivals_.size() >= count) break;
                seen = bytes_;
                continue;
            }
            break;
        }
        return arrivals_.size();
    }
    std::vector<Clock::time_point> arrivals() {
        std::lock_guard lock(m_);
        return arrivals_;
    }

  private:
    void run() {
        pollfd fds[2] = {{stop_, POLLIN, 0}, {fd_, POLLIN, 0}};
        std::uint8_t buf[4096];
        for (;;) {
            ::poll(fds, 2, -1);
            if (fds[0].revents) return;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) continue;
            const auto now = Clock::now();
            std::lock_guard lock(m_);
            bytes_ += static_cast<std::size_t>(n);
            while (arrivals_.size() < bytes_ / 3) arrivals_.push_back(now);
            cv_.notify_all();
        }
    }

    int fd_;
    int stop_;
    std::mutex m_;
    std::condition_variable cv_;
    std::size_t bytes_ = 0;
    std::vector<Clock::time_point> arrivals_;
    std::thread thread_;
};

}  // namespace tessaryn::bench
