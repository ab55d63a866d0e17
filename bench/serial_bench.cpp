// Serial transport figures on a pseudo-terminal: read latency, pacing accuracy, throughput.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "figures.h"
#include "serial/pty.h"
#include "serial/serial_port.h"

using namespace std::chrono;
using namespace tessaryn;
using tessaryn::bench::percentile;

namespace {

void readLatency() {
    testing::Pty pty;
    auto port = SerialPort::create();
    std::mutex m;
    std::condition_variable cv;
    steady_clock::time_point arrived;
    bool got = false;
    port->onData = [&](std::span<const std::uint8_t>) {
        std::lock_guard lock(m);
        arrived = steady_clock::now();
        got = true;
        cv.notify_one();
    };
    port->start(pty.path, 31250, 8, Parity::none, false, false, false);
    std::vector<double> us;
    for (int i = 0; i < 10000; ++i) {
        std::unique_lock lock(m);
        got = false;
        const auto sent = steady_clock::now();
        pty.send({0xF8});
        cv.wait(lock, [&] { return got; });
        us.push_back(duration<double, std::micro>(arrived - sent).count());
    }
    std::printf("read latency (pty write -> onData), 10000 samples: median %.1f us, p99 %.1f us\n",
                percentile(us, 0.5), percentile(us, 0.99));
}

void pacing() {
    // On a busy machine a late reader makes two bytes look close together: measure, where
    // allowed, with the reader and the port's thread (which inherits it) ahead of other work.
    sched_param fifo{};
    fifo.sched_priority = 10;
    const bool realtime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &fifo) == 0;
    testing::Pty pty;
    auto port = SerialPort::create();
    port->start(pty.path, 31250, 8, Parity::none, false, false, false);
    std::vector<std::uint8_t> sysex(3000, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    std::vector<steady_clock::time_point> at;
    at.reserve(sysex.size());
    const auto start = steady_clock::now();
    port->write(sysex, true);
    while (at.size() < sysex.size()) {
        pollfd p{pty.master, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        std::uint8_t buf[64];
        const ssize_t n = ::read(pty.master, buf, sizeof buf);
        const auto now = steady_clock::now();
        for (ssize_t i = 0; i < n; ++i) at.push_back(now);
    }
    std::vector<double> dev;
    double minGap = 1e9;
    for (std::size_t i = 1; i < at.size(); ++i) {
        const double gap = duration<double, std::micro>(at[i] - at[i - 1]).count();
        dev.push_back(std::abs(gap - 320.0));
        // Bytes that came in one read share a time; those say nothing of the gap between them.
        if (gap > 0) minGap = std::min(minGap, gap);
    }
    std::printf(
        "pacing, 3000-byte SysEx: %zu bytes in %.1f ms; |interval - 320 us| median %.1f us, p99 "
        "%.1f us; shortest gap %.1f us, mean %.2f us%s\n",
        at.size(), duration<double, std::milli>(at.back() - start).count(), percentile(dev, 0.5),
        percentile(dev, 0.99), minGap,
        duration<double, std::micro>(at.back() - at.front()).count() /
            static_cast<double>(at.size() - 1),
        realtime ? " (realtime priority)" : "");
    port.reset();
    sched_param normal{};
    ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &normal);
}

void throughput() {
    testing::Pty pty;
    auto port = SerialPort::create();
    std::atomic<std::size_t> received{0};
    port->onData = [&](std::span<const std::uint8_t> b) { received += b.size(); };
    port->start(pty.path, 2000000, 8, Parity::none, false, false, false);
    const std::size_t total = 64u << 20;
    std::vector<std::uint8_t> block(64 * 1024, 0x42);
    const auto start = steady_clock::now();
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < total; sent += block.size()) pty.send(block);
    });
    while (received < total) std::this_thread::sleep_for(1ms);
    const double s = duration<double>(steady_clock::now() - start).count();
    writer.join();
    std::printf("throughput (pty -> onData): %.1f MB/s\n", static_cast<double>(total) / s / 1e6);
}

// A device that reads nothing: once the backlog is at its bound, every write pushes the oldest
// waiting message out. That should cost about what a write into a short queue costs.
void writesIntoAFullQueue() {
    testing::Pty pty;  // nobody reads the other side
    auto port = SerialPort::create(minutes(1));
    port->start(pty.path, 2000000, 8, Parity::none, false, false, false);
    const auto perWrite = [&](int writes) {
        const auto start = steady_clock::now();
        for (int i = 0; i < writes; ++i)
            port->write({0x90, static_cast<std::uint8_t>(i & 0x7F), 0x40}, false);
        return duration<double, std::micro>(steady_clock::now() - start).count() / writes;
    };
    const double filling = perWrite(20000);  // 60 KB: below the bound
    perWrite(static_cast<int>(SerialPort::kQueueLimit / 3));
    const double full = perWrite(200000);
    std::printf(
        "writes toward a device that reads nothing: %.2f us each below the bound, %.2f us "
        "each at the bound (%zu KiB waiting)\n",
        filling, full, SerialPort::kQueueLimit / 1024);
}

}  // namespace

int main() {
    readLatency();
    pacing();
    throughput();
    writesIntoAFullQueue();
}
