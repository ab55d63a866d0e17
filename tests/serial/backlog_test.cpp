// The queue toward the device under the two loads that must not lose anything: a message larger
// than the queue's bound, and a device that reads slowly but steadily.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pty.h"
#include "serial/serial_port.h"

using namespace std::chrono_literals;
using namespace tessaryn;
using tessaryn::testing::Pty;

TEST(SerialBacklog, ASysexLargerThanTheBoundArrivesWholeAndSoDoesWhatFollows) {
    Pty pty;
    auto port = SerialPort::create();
    port->start(pty.path, 31250, 8, Parity::none, false, false, false);
    std::vector<std::uint8_t> dump(4 * SerialPort::kQueueLimit, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    port->write(dump, false);
    port->write({0x90, 0x3C, 0x64}, false);
    auto want = dump;
    want.insert(want.end(), {0x90, 0x3C, 0x64});
    EXPECT_EQ(pty.receive(want.size(), 20s), want);
    EXPECT_EQ(port->dropped(), 0u);
}

TEST(SerialBacklog, ADeviceReadingSlowlyButSteadilyIsNeverCalledStalledAndLosesNothing) {
    Pty pty;
    std::atomic<int> stalls{0};
    auto port = SerialPort::create(300ms);
    port->onStall = [&](bool stalled) { stalls += stalled; };
    port->start(pty.path, 31250, 8, Parity::none, false, false, false);
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 1000; ++i) {
        const std::vector<std::uint8_t> note{0x90, static_cast<std::uint8_t>(i % 128),
                                             static_cast<std::uint8_t>(1 + i / 128)};
        port->write(note, false);
        all.insert(all.end(), note.begin(), note.end());
    }
    // 32 bytes every 10 ms: a DIN line's pace; the backlog takes about a second to drain, past
    // the 300 ms a device may take nothing.
    std::vector<std::uint8_t> got;
    while (got.size() < all.size()) {
        const auto piece = pty.receive(std::min<std::size_t>(32, all.size() - got.size()), 2s);
        ASSERT_FALSE(piece.empty()) << got.size();
        got.insert(got.end(), piece.begin(), piece.end());
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(stalls.load(), 0);
    EXPECT_EQ(port->dropped(), 0u);
}
