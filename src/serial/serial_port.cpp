#include "serial/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "serial/device_access.h"
#include "serial/exact_baud.h"
#include "serial/line_settings.h"
#include "serial/stage_times.h"

namespace tessaryn {

namespace {

std::string errorText(int e) {
    return std::generic_category().message(e);
}

void clearDTR(int fd) {
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) == 0) {
        bits &= ~TIOCM_DTR;
        ::ioctl(fd, TIOCMSET, &bits);
    }
}

// FTDI and similar adapters otherwise hold short bursts back for up to 16 ms.
void askLowLatency(int fd) {
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &ss);
    }
}

[[noreturn]] void fail(int fd, const std::string& message) {
    ::close(fd);
    throw SerialError(message);
}

}  // namespace

std::chrono::steady_clock::time_point nextPaceDue(std::chrono::steady_clock::time_point due,
                                                  std::chrono::steady_clock::time_point sentAt) {
    return sentAt - due <= SerialPort::kPaceSlack ? due + SerialPort::kPaceInterval
                                                  : sentAt + SerialPort::kPaceInterval;
}

SerialPort::SerialPort(std::chrono::milliseconds stallAfter) : stallAfter_(stallAfter) {}

std::shared_ptr<SerialPort> SerialPort::create(std::chrono::milliseconds stallAfter) {
    return std::shared_ptr<SerialPort>(new SerialPort(stallAfter));
}

SerialPort::~SerialPort() {
    // The queue's destructor runs the cancel handler, which closes the descriptor.
    std::lock_guard lock(sourceLock_);
    if (readSource_) readSource_->cancel();
}

void SerialPort::start(const std::string& path, std::int64_t baud, std::int64_t dataBits,
                       Parity parity, bool twoStopBits, bool hardwareFlow, bool holdDTR) {
    stop();
    // The previous descriptor is closed on the queue; wait for it, or our own lock on the
    // device would refuse reopening the same path.
    queue_.sync([] {});
    if (baud <= 0) {
        throw SerialError("Could not set baud rate " + std::to_string(baud) + ": " +
                          errorText(EINVAL));
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw SerialError(openErrorText(path, errno));

    // Exclusive: a second program reading the same board would split its byte stream.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        const int e = errno == EWOULDBLOCK ? EBUSY : errno;
        fail(fd, "Cannot open " + path + ": " + errorText(e));
    }
    ::ioctl(fd, TIOCEXCL);

    if (holdDTR) clearDTR(fd);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) fail(fd, "tcgetattr failed: " + errorText(errno));
    ::cfmakeraw(&tio);
    tio.c_cflag =
        composeControlFlags(tio.c_cflag, dataBits, parity, twoStopBits, hardwareFlow, holdDTR);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) fail(fd, "tcsetattr failed: " + errorText(errno));

    // A driver may quietly round a rate it cannot make (a 16550 runs 250000 at 115200).
    int e = setExactBaud(fd, baud);
    if (e == 0 && readExactBaud(fd) != baud) e = EINVAL;
    if (e != 0) fail(fd, "Could not set baud rate " + std::to_string(baud) + ": " + errorText(e));
    askLowLatency(fd);
    if (holdDTR) clearDTR(fd);
    ::tcflush(fd, TCIOFLUSH);

    std::weak_ptr<SerialPort> weak = weak_from_this();
    auto source = queue_.addReadSource(
        fd,
        [weak] {
            if (auto self = weak.lock()) self->handleReadable();
        },
        [fd] {
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
        },
        [weak] {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->outLock_);
                self->flush();
            }
        });
    {
        std::lock_guard lock(sourceLock_);
        readSource_ = std::move(source);
    }
    fd_.store(fd);  // after the source, which a write waiting for room needs
}

void SerialPort::stop() {
    {
        // Writers on other threads look at fd_ under this lock: once it is cleared, none can
        // reach the descriptor, which the queue closes later (its number may then be reused).
        std::lock_guard lock(outLock_);
        fd_.store(-1);
    }
    {
        std::lock_guard lock(sourceLock_);
        if (readSource_) readSource_->cancel();
        readSource_.reset();
    }
    queue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->outLock_);
            self->clearQueue();
        }
    });
}

void SerialPort::handleReadable() {
    const int fd = fd_.load();
    if (fd < 0) return;
    std::uint8_t buf[kReadSize];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
        stages::mark(stages::readReturned);
        if (onData) onData(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    stop();
    if (onClosed) onClosed(kClosedMessage);
}

void SerialPort::write(const std::vector<std::uint8_t>& bytes, bool paced) {
    const Message one{bytes, paced};
    write(std::span(&one, 1));
}

void SerialPort::write(std::span<const Message> messages) {
    if (std::ranges::all_of(messages, [](const Message& m) { return m.bytes.empty(); })) return;
    // Written here and now when nothing waits: a hop to the queue's thread would cost a wake-up
    // on every message toward the device.
    std::lock_guard lock(outLock_);
    if (fd_.load() < 0) return;
    if (sizes_.empty()) lastProgress_ = Clock::now();
    for (const auto& m : messages) {
        if (m.bytes.empty()) continue;
        out_.insert(out_.end(), m.bytes.begin(), m.bytes.end());
        sizes_.push_back({static_cast<std::uint32_t>(m.bytes.size()), m.paced});
        pacedQueued_ += m.paced;
    }
    // Waiting for room or for the next pace step: that wake-up writes these too.
    if (!paceWaiting_ && !roomWait_) flush();
    trim(stalled_ ? kStalledLimit : kQueueLimit);
}

void SerialPort::flush() {
    const int fd = fd_.load();
    if (fd < 0) return;
    while (!sizes_.empty()) {
        if (sizes_.front().paced && frontSent_ == 0) pacing_ = true;
        if (pacing_) {
            if (!paceWaiting_) paceStep();
            return;
        }
        // Everything up to the next paced message in one write.
        std::size_t run = out_.size() - outHead_;
        if (pacedQueued_ > 0) {
            run = 0;
            for (auto q = sizes_.begin(); q != sizes_.end() && !q->paced; ++q) run += q->size;
            run -= frontSent_;
        }
        const ssize_t n = ::write(fd, out_.data() + outHead_, run);
        if (n > 0) {
            consumed(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            waitForRoom();
            return;
        } else {
            clearQueue();  // the device failed; the read side reports it
            return;
        }
    }
    stopWaitingForRoom();
}

void SerialPort::stopWaitingForRoom() {
    if (!roomWait_) return;
    roomWait_ = false;
    if (std::lock_guard lock(sourceLock_); readSource_) readSource_->watchWritable(false);
}

void SerialPort::paceStep() {
    const int fd = fd_.load();
    auto now = Clock::now();
    // A byte may leave up to kPaceSlack before it is due, never sooner than that after the last.
    const auto earliest = std::max(paceDue_, lastPaced_ + kPaceInterval) - kPaceSlack;
    if (now < earliest) {
        // Timers here wake about wakeLate_ late: ask that much early, so the byte leaves on time
        // and a long dump keeps its cadence.
        auto at = paceDue_ - wakeLate_;
        if (at <= now) at = earliest;
        paceWaiting_ = true;
        queue_.asyncAfter(std::chrono::ceil<std::chrono::microseconds>(at - now),
                          [weak = weak_from_this(), token = paceToken_, at] {
                              auto self = weak.lock();
                              if (!self) return;
                              std::lock_guard lock(self->outLock_);
                              if (self->paceToken_ != token) return;
                              const auto late = std::clamp<Clock::duration>(
                                  Clock::now() - at, Clock::duration::zero(), kPaceInterval / 2);
                              self->wakeLate_ += (late - self->wakeLate_) / 8;
                              self->paceWaiting_ = false;
                              self->flush();
                          });
        stopWaitingForRoom();
        return;
    }
    const ssize_t n = ::write(fd, out_.data() + outHead_, 1);
    if (n != 1) {
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            clearQueue();
        } else {
            waitForRoom();
        }
        return;
    }
    lastPaced_ = Clock::now();
    paceDue_ = nextPaceDue(paceDue_, lastPaced_);
    consumed(1);
    if (!sizes_.empty()) paceStep();  // schedules the next byte
}

void SerialPort::consumed(std::size_t n) {
    outHead_ += n;
    frontSent_ += n;
    while (!sizes_.empty() && frontSent_ >= sizes_.front().size) {
        frontSent_ -= sizes_.front().size;
        pacedQueued_ -= sizes_.front().paced;
        sizes_.pop_front();
    }
    if (sizes_.empty()) {
        out_.clear();
        if (out_.capacity() > 64 * 1024) out_.shrink_to_fit();  // a burst is over: give it back
        outHead_ = 0;
        pacing_ = false;
    } else {
        compact();
    }
    lastProgress_ = Clock::now();
    if (stalled_) {
        stalled_ = false;
        if (onStall) onStall(false);
    }
}

void SerialPort::waitForRoom() {
    roomWait_ = true;
    if (std::lock_guard lock(sourceLock_); readSource_) readSource_->watchWritable(true);
    armWatchdog();
}

void SerialPort::armWatchdog() {
    if (watchdog_ || stalled_) return;
    watchdog_ = true;
    const auto wait = lastProgress_ + stallAfter_ - Clock::now();
    queue_.asyncAfter(std::max(std::chrono::duration_cast<std::chrono::microseconds>(wait),
                               std::chrono::microseconds(0)),
                      [weak = weak_from_this()] {
                          if (auto self = weak.lock()) self->checkStall();
                      });
}

// The watchdog: armed only while a backlog waits for room, so an idle port never wakes.
void SerialPort::checkStall() {
    std::lock_guard lock(outLock_);
    watchdog_ = false;
    if (fd_.load() < 0 || sizes_.empty() || stalled_) return;
    // Some devices (a pty among them) report room only once nearly empty: one that takes any
    // byte now is reading, however slowly.
    if (roomWait_ && !pacing_) flush();
    if (sizes_.empty()) return;
    if (Clock::now() - lastProgress_ < stallAfter_) {
        armWatchdog();
        return;
    }
    stalled_ = true;
    trim(kStalledLimit);
    if (onStall) onStall(true);
}

// Drops the oldest whole messages until at most `limit` bytes wait behind the one at the head,
// which is being written or is next: it stays whole, however large, so the device never sees a
// cut message and a SysEx larger than the bound still goes out.
void SerialPort::trim(std::size_t limit) {
    if (sizes_.empty()) return;
    const std::size_t head = sizes_.front().size - frontSent_;
    const std::size_t waiting = out_.size() - outHead_ - head;
    if (waiting <= limit) return;
    std::size_t last = 1, bytes = 0;
    while (last < sizes_.size() && waiting - bytes > limit) {
        pacedQueued_ -= sizes_[last].paced;
        bytes += sizes_[last++].size;
    }
    const auto at = [&](std::size_t i) { return out_.begin() + static_cast<std::ptrdiff_t>(i); };
    const std::size_t from = outHead_ + head;
    if (head <= waiting - bytes) {
        // Move whichever side of the gap is shorter: on a full queue of small messages that is
        // the head, so a write that pushes out the oldest costs the same however much waits.
        std::move_backward(at(outHead_), at(from), at(from + bytes));
        outHead_ += bytes;
        compact();
    } else {
        out_.erase(at(from), at(from + bytes));
    }
    sizes_.dropAfterFront(last - 1);
}

// Gives back the written front once it is at least half the buffer: each byte moves at most once
// more on average.
void SerialPort::compact() {
    if (outHead_ < 4096 || outHead_ < out_.size() / 2) return;
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
    outHead_ = 0;
}

void SerialPort::clearQueue() {
    ++paceToken_;
    out_.clear();
    outHead_ = 0;
    sizes_.clear();
    pacedQueued_ = 0;
    frontSent_ = 0;
    pacing_ = paceWaiting_ = false;
    stopWaitingForRoom();
    if (stalled_) {
        stalled_ = false;
        if (onStall) onStall(false);
    }
}

}  // namespace tessaryn
