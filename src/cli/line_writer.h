#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace tessaryn {

// Lines for a stream that a reader may stop reading (a pager, a terminal held with Ctrl+S),
// written by a thread of their own so that the bridge never waits for it. While the reader does
// not read, lines beyond `limit` queued bytes are dropped and counted, and said once it reads
// again.
class LineWriter {
  public:
    static constexpr std::chrono::milliseconds kDrainWait{200}, kStallWait{20};

    LineWriter(int fd, std::size_t limit);
    // Waits at most kDrainWait for what is queued, and no longer than kStallWait for a reader
    // that takes nothing; such a reader keeps the writing thread, and the process ends without it.
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // A whole line, newline included. Never blocks.
    void add(std::string line);

  private:
    // Shared with the writing thread, which may outlive the writer.
    struct State {
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::string> lines;
        std::size_t bytes = 0;
        std::size_t dropped = 0;
        std::atomic<std::size_t> written{0};  // bytes the reader took
        bool writing = false;
        bool closing = false;
    };
    static void run(int fd, std::shared_ptr<State> state);

    std::shared_ptr<State> state_ = std::make_shared<State>();
    const std::size_t limit_;
};

}  // namespace tessaryn
