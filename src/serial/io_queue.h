#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tessaryn {

// A serial queue on one thread of its own: posted blocks run one at a time in FIFO order,
// delayed blocks at microsecond deadlines, and read sources when their descriptor is readable.
// The thread sleeps in epoll until there is work; an idle queue makes no system calls.
class IoQueue {
  public:
    using Block = std::function<void()>;

    // A descriptor watched for input, and for room to write while asked to. Cancelling stops
    // its handlers at once; the cancel handler then runs on the queue (it usually closes the
    // descriptor).
    class ReadSource {
      public:
        virtual ~ReadSource() = default;
        virtual void cancel() = 0;  // any thread; idempotent
        // Whether onWritable runs when the descriptor can take more bytes. Level-triggered: ask
        // only while something waits to be written.
        virtual void watchWritable(bool on) = 0;
    };

    explicit IoQueue(std::string label);
    // Runs the blocks already posted and the cancel handlers of live sources, then ends the
    // thread. Safe to call from a block running on the queue itself.
    ~IoQueue();
    IoQueue(const IoQueue&) = delete;
    IoQueue& operator=(const IoQueue&) = delete;

    void async(Block block);
    // Runs `block` on the queue after what it already holds and returns once it has run; on the
    // queue's own thread it runs at once.
    void sync(const Block& block);
    void asyncAfter(std::chrono::microseconds delay, Block block);
    // The source is live from the moment it is returned.
    std::shared_ptr<ReadSource> addReadSource(int fd, Block onEvent, Block onCancel,
                                              Block onWritable = {});
    // True on the queue's own thread.
    bool isCurrent() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace tessaryn
