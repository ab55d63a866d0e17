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

// One serial device opened raw, read on its own I/O queue, written at once or paced at MIDI DIN
// speed. Create with create(); every queued block holds the port weakly.
//
// Threads: start/stop on the owner's thread (stop also on the queue when the device goes away);
// write from any thread (it only enqueues); onData/onClosed run on the queue. Install the
// callbacks before the first start.
class SerialPort : public std::enable_shared_from_this<SerialPort> {
  public:
    using DataHandler = std::function<void(std::span<const std::uint8_t>)>;
    using ClosedHandler = std::function<void(const std::string&)>;

    static constexpr std::size_t kReadSize = 512;
    static constexpr std::chrono::microseconds kPaceInterval{320};  // one 10-bit byte at 31250 baud
    static constexpr const char* kClosedMessage = "Serial port closed (device disconnected?)";

    static std::shared_ptr<SerialPort> create();
    // Closes the device if open; pending paced bytes are dropped.
    ~SerialPort();

    // Closes any open device, then opens and configures `path`. Throws SerialError.
    void start(const std::string& path, std::int64_t baud, std::int64_t dataBits, Parity parity,
               bool twoStopBits, bool hardwareFlow, bool holdDTR);
    void stop();
    void write(std::vector<std::uint8_t> bytes, bool paced);

    bool isOpen() const { return fd_.load() >= 0; }
    IoQueue& queue() { return queue_; }

    DataHandler onData;
    ClosedHandler onClosed;

    // The serial devices a user may choose, sorted (see serial_discovery.h).
    static std::vector<std::string> availablePorts();

  private:
    SerialPort();
    void handleReadable();
    void writeNow(const std::vector<std::uint8_t>& bytes);
    void drainPace();

    std::atomic<int> fd_{-1};
    std::mutex sourceLock_;  // guards readSource_: stop runs on the owner's thread and the queue
    std::shared_ptr<IoQueue::ReadSource> readSource_;

    // Pacing: touched only on the queue.
    std::vector<std::uint8_t> paceBytes_;
    std::size_t paceIndex_ = 0;
    bool paceRunning_ = false;
    std::uint64_t paceToken_ = 0;
    std::chrono::steady_clock::time_point paceDue_{};  // deadline of the step now running

    IoQueue queue_{"serial.io"};  // last: its thread ends before the fields above go away

    friend struct SerialPortTestAccess;
};

}  // namespace tessaryn
