#include "serial/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <system_error>

#include "serial/device_access.h"
#include "serial/exact_baud.h"
#include "serial/line_settings.h"
#include "serial/serial_discovery.h"

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

SerialPort::SerialPort() = default;

std::shared_ptr<SerialPort> SerialPort::create() {
    return std::shared_ptr<SerialPort>(new SerialPort());
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
    if (!queue_.isCurrent()) {
        std::promise<void> closed;
        queue_.async([&closed] { closed.set_value(); });
        closed.get_future().wait();
    }
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

    if (const int e = setExactBaud(fd, baud); e != 0) {
        fail(fd, "Could not set baud rate " + std::to_string(baud) + ": " + errorText(e));
    }
    askLowLatency(fd);
    if (holdDTR) clearDTR(fd);
    ::tcflush(fd, TCIOFLUSH);

    fd_.store(fd);
    std::weak_ptr<SerialPort> weak = weak_from_this();
    auto source = queue_.addReadSource(
        fd,
        [weak] {
            if (auto self = weak.lock()) self->handleReadable();
        },
        [fd] {
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
        });
    std::lock_guard lock(sourceLock_);
    readSource_ = std::move(source);
}

void SerialPort::stop() {
    {
        std::lock_guard lock(sourceLock_);
        if (readSource_) readSource_->cancel();
        readSource_.reset();
    }
    fd_.store(-1);
    queue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            ++self->paceToken_;
            self->paceBytes_.clear();
            self->paceIndex_ = 0;
            self->paceRunning_ = false;
        }
    });
}

void SerialPort::handleReadable() {
    const int fd = fd_.load();
    if (fd < 0) return;
    std::uint8_t buf[kReadSize];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
        if (onData) onData(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    stop();
    if (onClosed) onClosed(kClosedMessage);
}

void SerialPort::write(std::vector<std::uint8_t> bytes, bool paced) {
    if (bytes.empty()) return;
    queue_.async([weak = weak_from_this(), bytes = std::move(bytes), paced] {
        auto self = weak.lock();
        if (!self || self->fd_.load() < 0) return;
        if (paced || self->paceRunning_) {
            self->paceBytes_.insert(self->paceBytes_.end(), bytes.begin(), bytes.end());
            if (!self->paceRunning_) {
                self->paceRunning_ = true;
                self->drainPace();
            }
            return;
        }
        self->writeNow(bytes);
    });
}

void SerialPort::writeNow(const std::vector<std::uint8_t>& bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size() && fd_.load() >= 0) {
        int budget = 200;
        for (;;) {
            const int fd = fd_.load();
            if (fd < 0) return;
            const ssize_t n = ::write(fd, bytes.data() + offset, bytes.size() - offset);
            if (n > 0) {
                offset += static_cast<std::size_t>(n);
                break;
            }
            if (errno != EAGAIN || budget == 0) return;  // the rest is dropped
            ::usleep(1000);
            --budget;
        }
    }
}

void SerialPort::drainPace() {
    if (fd_.load() < 0 || paceIndex_ >= paceBytes_.size()) {
        paceBytes_.clear();
        paceIndex_ = 0;
        paceRunning_ = false;
        return;
    }
    const std::uint64_t token = paceToken_;
    const std::size_t taken = paceIndex_++;
    const std::uint8_t byte = paceBytes_[taken];
    if (taken >= 4096 && taken >= paceBytes_.size() / 2) {
        paceBytes_.erase(paceBytes_.begin(),
                         paceBytes_.begin() + static_cast<std::ptrdiff_t>(taken + 1));
        paceIndex_ = 0;
    }
    for (int retries = 0;; ++retries) {
        const int fd = fd_.load();
        if (fd < 0) break;
        if (::write(fd, &byte, 1) == 1) break;
        if (errno != EAGAIN || retries >= 20) {
            paceRunning_ = false;  // stalled: the byte is lost, the rest stays queued
            return;
        }
        ::usleep(200);
    }
    // Keep the cadence from the previous step's deadline so that wake-up latency does not add
    // up over a long dump; after a hiccup, carry on from now rather than bursting.
    const auto now = std::chrono::steady_clock::now();
    if (paceDue_ + 2 * kPaceInterval < now) paceDue_ = now;
    paceDue_ += kPaceInterval;
    queue_.asyncAfter(std::chrono::duration_cast<std::chrono::microseconds>(paceDue_ - now),
                      [weak = weak_from_this(), token] {
                          auto self = weak.lock();
                          if (self && self->paceToken_ == token) self->drainPace();
                      });
}

std::vector<std::string> SerialPort::availablePorts() {
    return linuxPorts("/dev", "/sys");
}

}  // namespace tessaryn
