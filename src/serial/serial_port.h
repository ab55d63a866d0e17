#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "serial/io_queue.h"
#include "serial/serial_types.h"

namespace tessaryn {

// When the paced byte after one that left at `sentAt` (due at `due`) is due. On time (a byte may
// leave up to kPaceSlack early or late), the cadence is kept, so a long dump averages exactly one
// interval a byte; a step more than kPaceSlack late starts a new cadence from its own byte rather
// than catching up. No paced byte leaves less than kPaceInterval - kPaceSlack after the last.
std::chrono::steady_clock::time_point nextPaceDue(std::chrono::steady_clock::time_point due,
                                                  std::chrono::steady_clock::time_point sentAt);

// One serial device opened raw, read on its own I/O queue, written at once or paced at MIDI DIN
// speed. Create with create(); every queued block holds the port weakly.
//
// Writing: whole messages wait in one bounded queue, in call order, and go out whenever the device
// has room (nothing sleeps on the queue, so reading goes on meanwhile). Once a paced message
// reaches the head, every byte is paced until the queue is empty. A device that takes nothing for
// `stallAfter` is reported through onStall; from then on the oldest whole messages are dropped to
// keep kStalledLimit bytes, and counted. The message at the head of the queue is never dropped:
// the bounds apply to what waits behind it.
//
// Threads: start/stop on the owner's thread (stop also on the queue when the device goes away);
// write from any thread (it never blocks: what the device cannot take at once waits for the
// queue); onData/onClosed run on the queue, onStall on the queue or a writer's thread. Install
// the callbacks before the first start.
class SerialPort : public std::enable_shared_from_this<SerialPort> {
  public:
    using DataHandler = std::function<void(std::span<const std::uint8_t>)>;
    using ClosedHandler = std::function<void(const std::string&)>;
    using StallHandler = std::function<void(bool stalled)>;

    // The bytes are copied before write returns.
    struct Message {
        std::span<const std::uint8_t> bytes;
        bool paced = false;
    };

    static constexpr std::size_t kReadSize = 4096;
    static constexpr std::chrono::microseconds kPaceInterval{320};  // one 10-bit byte at 31250 baud
    static constexpr std::chrono::microseconds kPaceSlack{20};
    static constexpr std::chrono::milliseconds kStallAfter{3000};
    // Bytes waiting for the device: a device that reads keeps up to this much; one that stopped
    // reading keeps the newest kStalledLimit.
    static constexpr std::size_t kQueueLimit = 256 * 1024;
    static constexpr std::size_t kStalledLimit = 4096;
    static constexpr const char* kClosedMessage = "Serial port closed (device disconnected?)";

    static std::shared_ptr<SerialPort> create(std::chrono::milliseconds stallAfter = kStallAfter);
    // Closes the device if open; bytes still waiting for it are dropped.
    ~SerialPort();

    // Closes any open device, then opens and configures `path`. Throws SerialError.
    void start(const std::string& path, std::int64_t baud, std::int64_t dataBits, Parity parity,
               bool twoStopBits, bool hardwareFlow, bool holdDTR);
    void stop();
    // One hand-off for messages that arrived together; empty ones are skipped.
    void write(std::span<const Message> messages);
    void write(const std::vector<std::uint8_t>& bytes, bool paced);

    bool isOpen() const { return fd_.load() >= 0; }
    IoQueue& queue() { return queue_; }

    DataHandler onData;
    ClosedHandler onClosed;
    StallHandler onStall;

  private:
    using Clock = std::chrono::steady_clock;
    struct Queued {
        std::uint32_t size;
        bool paced;
    };
    // The messages waiting, oldest first, on one vector whose written front is given back as the
    // queue drains: a steady flow reuses the same room.
    class Sizes {
      public:
        bool empty() const { return head_ == all_.size(); }
        std::size_t size() const { return all_.size() - head_; }
        Queued& front() { return all_[head_]; }
        Queued& operator[](std::size_t i) { return all_[head_ + i]; }
        auto begin() { return all_.begin() + static_cast<std::ptrdiff_t>(head_); }
        auto end() { return all_.end(); }
        void push_back(Queued q) { all_.push_back(q); }
        void pop_front() {
            ++head_;
            compact();
        }
        // Drops the n messages after the front one, moving the front rather than the rest.
        void dropAfterFront(std::size_t n) {
            all_[head_ + n] = all_[head_];
            head_ += n;
            compact();
        }
        void clear() {
            all_.clear();
            head_ = 0;
        }

      private:
        void compact() {
            const bool drained = head_ == all_.size();
            if (!drained && (head_ < 1024 || head_ < all_.size() / 2)) return;
            all_.erase(all_.begin(), begin());
            head_ = 0;
        }
        std::vector<Queued> all_;
        std::size_t head_ = 0;
    };

    explicit SerialPort(std::chrono::milliseconds stallAfter);
    void handleReadable();
    void flush();
    void paceStep();
    void consumed(std::size_t n);
    void waitForRoom();
    void stopWaitingForRoom();
    void armWatchdog();
    void checkStall();
    void trim(std::size_t limit);
    void compact();
    void clearQueue();

    const std::chrono::milliseconds stallAfter_;
    std::atomic<int> fd_{-1};
    std::mutex sourceLock_;  // guards readSource_: stop runs on the owner's thread and the queue
    std::shared_ptr<IoQueue::ReadSource> readSource_;

    // The queue toward the device, guarded by outLock_ (writers and the queue's thread take
    // turns; the descriptor is closed under it too). The bytes not yet written are
    // out_[outHead_...], made of the messages in sizes_, the first of which has frontSent_
    // bytes written already.
    std::mutex outLock_;
    std::vector<std::uint8_t> out_;
    std::size_t outHead_ = 0;
    Sizes sizes_;
    std::size_t frontSent_ = 0;
    std::size_t pacedQueued_ = 0;  // paced messages in sizes_
    bool pacing_ = false;          // a paced message reached the head; ends when the queue is empty
    bool paceWaiting_ = false;     // a pace step is scheduled
    std::uint64_t paceToken_ = 0;
    Clock::time_point paceDue_{};       // when the next paced byte is due
    Clock::time_point lastPaced_{};     // when the last paced byte left
    Clock::duration wakeLate_{};        // how late pace timers wake here, smoothed
    Clock::time_point lastProgress_{};  // the device last took a byte, or the backlog began
    bool roomWait_ = false;             // watching the device for room to write
    bool watchdog_ = false;
    bool stalled_ = false;

    IoQueue queue_{"serial.io"};  // last: its thread ends before the fields above go away

    friend struct SerialPortTestAccess;
};

}  // namespace tessaryn
