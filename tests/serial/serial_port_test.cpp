#include <gtest/gtest.h>

#include "midi/handoff.h"
#include "serial/exact_baud.h"
#include "serial/pty.h"
#include "serial/serial_port.h"

using namespace tessaryn;
using namespace tessaryn::testing;

namespace tessaryn {
struct SerialPortTestAccess {
    static std::size_t waiting(SerialPort& p) {
        std::lock_guard lock(p.outLock_);
        return p.out_.size() - p.outHead_;
    }
    static bool pacing(SerialPort& p) {
        std::lock_guard lock(p.outLock_);
        return p.pacing_;
    }
};
}  // namespace tessaryn

namespace {

using Access = tessaryn::SerialPortTestAccess;

// A port on a pty board, and what it hands to its owner: this, which outlives the port, whose
// queue may still call it.
struct Port : ::testing::Test, Shared {
    Port() { attach(); }
    void attach(std::chrono::milliseconds stallAfter = SerialPort::kStallAfter) {
        port = SerialPort::create(stallAfter);
        port->onData = [this](std::span<const std::uint8_t> bytes) {
            change([&] { data.insert(data.end(), bytes.begin(), bytes.end()); });
        };
        port->onClosed = [this](const std::string& message) {
            change([&] { closed.push_back(message); });
        };
        port->onStall = [this](bool stalled) { change([&] { stalls.push_back(stalled); }); };
    }
    void open(std::int64_t baud = 31250, bool holdDTR = false) {
        port->start(pty.path, baud, 8, Parity::none, false, false, holdDTR);
    }

    Pty pty;
    Bytes data;
    std::vector<std::string> closed;
    std::vector<bool> stalls;
    std::shared_ptr<SerialPort> port;
};

std::string startError(const std::string& path, std::int64_t baud = 115200) {
    auto port = SerialPort::create();
    try {
        port->start(path, baud, 8, Parity::none, false, false, false);
    } catch (const SerialError& e) {
        EXPECT_FALSE(port->isOpen());
        return e.message;
    }
    return "(opened)";
}

}  // namespace

TEST_F(Port, SetsExactRatesOrSaysWhyNotReadsAndWritesAndASecondOpenIsRefused) {
    EXPECT_EQ(startError("/dev/does-not-exist"),
              "Cannot open /dev/does-not-exist: No such file or directory");
    EXPECT_EQ(startError("/dev/null"), "tcgetattr failed: Inappropriate ioctl for device");
    EXPECT_EQ(startError(pty.path, 0), "Could not set baud rate 0: Invalid argument");
    EXPECT_EQ(startError(pty.path, -9600), "Could not set baud rate -9600: Invalid argument");
    for (std::int64_t baud : {31250, 250000, 1000000, 2000000, 12345, 115200}) {
        open(baud, true);  // holding DTR on a pty: the ioctls fail, opening goes on
        // A second descriptor reads back what the driver holds for the line.
        const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(readExactBaud(fd), baud);
        ::close(fd);
    }
    // Refused while the first keeps working.
    EXPECT_EQ(startError(pty.path), "Cannot open " + pty.path + ": Device or resource busy");

    // A SysEx larger than the queue's bound arrives whole, and so does what follows.
    const Bytes dump = sysex(4 * SerialPort::kQueueLimit), note{0x90, 0x3C, 0x64};
    port->write(dump, false);
    port->write({}, false);
    port->write(note, false);
    EXPECT_EQ(pty.receive(dump.size() + 3, 20s), joined({&dump, &note}));

    // One read is at most kReadSize bytes: a larger burst arrives whole over several callbacks.
    Bytes burst(3 * SerialPort::kReadSize + 5);
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<std::uint8_t>(i);
    pty.send(burst);
    ASSERT_TRUE(waitUntil([&] { return data.size() == burst.size(); }));
    EXPECT_EQ(data, burst);

    // An unplug is reported once; reopening after a replug: the engine's reconnect tests.
    pty.unplug();
    ASSERT_TRUE(waitUntil([&] { return !closed.empty(); }));
    port->queue().sync([] {});
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(closed, (std::vector<std::string>{"Serial port closed (device disconnected?)"}));
    EXPECT_FALSE(port->isOpen());
}

// Writers on several threads (MIDI input, the serial queue, the main thread) take turns: every
// message arrives whole, and each writer's messages in its own order.
TEST_F(Port, ConcurrentWritersNeverCutOrReorderTheirMessages) {
    open(2000000);
    constexpr int kWriters = 3, kEach = 3000;
    std::vector<std::jthread> writers;  // joined once all has arrived
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            for (int i = 0; i < kEach; ++i) {
                port->write({static_cast<std::uint8_t>(0x90 + w), static_cast<std::uint8_t>(i >> 7),
                             static_cast<std::uint8_t>(i & 0x7F)},
                            false);
            }
        });
    }
    const auto got = pty.receive(kWriters * kEach * 3, 20s);
    ASSERT_EQ(got.size(), std::size_t{kWriters * kEach * 3});
    int next[kWriters] = {};
    for (std::size_t at = 0; at < got.size(); at += 3) {
        const int w = got[at] - 0x90;
        ASSERT_TRUE(w >= 0 && w < kWriters) << "cut message at " << at;
        ASSERT_EQ(got[at + 1] << 7 | got[at + 2], next[w]++) << "writer " << w;
    }
}

TEST(SerialPort, PaceStepsKeepTheCadenceButNeverBunch) {
    using std::chrono::steady_clock;
    const steady_clock::time_point due{1s};
    // The step's lateness; when the next is due after `due`.
    const std::pair<std::chrono::microseconds, std::chrono::microseconds> cases[] = {
        {0us, 320us},  {5us, 320us},    {20us, 320us},
        {21us, 341us}, {900us, 1220us}, {10s, 10s + 320us}};
    for (const auto& [late, after] : cases) {
        const auto next = nextPaceDue(due, due + late);
        EXPECT_EQ(next - due, after) << late.count();
        EXPECT_GE(next - (due + late), SerialPort::kPaceInterval - SerialPort::kPaceSlack);
    }
}

// Stop reports no close, and what is written after it is dropped.
TEST_F(Port, StopDuringADrainLeavesNothingToRun) {
    open();
    port->write(Bytes(2000, 0x11), true);
    EXPECT_EQ(pty.receive(5).size(), 5u);
    port->stop();
    EXPECT_FALSE(port->isOpen());
    port->write({0x01}, false);
    port->queue().sync([&] {
        EXPECT_EQ(Access::waiting(*port), 0u);
        EXPECT_FALSE(Access::pacing(*port));
    });
    pty.receive(4096, 50ms);  // whatever was in flight
    EXPECT_TRUE(pty.receive(1, 100ms).empty());
    EXPECT_TRUE(closed.empty());
    EXPECT_EQ(startError(pty.path), "(opened)");  // the device is free again
    open();
    port->write({0xF0, 0xF7}, true);
    EXPECT_EQ(pty.receive(2), (Bytes{0xF0, 0xF7}));
    port->queue().sync([&] { EXPECT_FALSE(Access::pacing(*port)); });  // drained: pacing ends
}

// A board reading slowly but steadily is never called stalled and loses nothing. One that stops
// reading is reported once it has taken nothing for a while, then the oldest whole messages give
// way to the newest, and it is told when it reads again.
TEST_F(Port, ADeviceThatStopsReadingIsReportedAndLosesOnlyWholeOldMessages) {
    attach(300ms);
    open();
    Bytes all;
    for (int i = 0; i < 1000; ++i) {
        const Bytes note{0x90, static_cast<std::uint8_t>(i % 128),
                         static_cast<std::uint8_t>(1 + i / 128)};
        port->write(note, false);
        all.insert(all.end(), note.begin(), note.end());
    }
    // 32 bytes every 10 ms: a DIN line's pace; the backlog takes about a second to drain, past
    // the 300 ms a device may take nothing.
    Bytes got;
    while (got.size() < all.size()) {
        const auto piece = pty.receive(std::min<std::size_t>(32, all.size() - got.size()), 2s);
        ASSERT_FALSE(piece.empty()) << got.size();
        got.insert(got.end(), piece.begin(), piece.end());
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(got, all);
    EXPECT_TRUE(waitUntil([&] { return stalls.empty(); }, 0ms));

    constexpr int kCount = 3000, kSize = 100;
    for (int i = 0; i < kCount; i += 100) {
        std::vector<Bytes> owned;
        for (int k = i; k < i + 100; ++k) {
            owned.push_back(sysex(kSize));
            owned.back()[1] = static_cast<std::uint8_t>(k >> 7);
            owned.back()[2] = static_cast<std::uint8_t>(k & 0x7F);
        }
        port->write(std::vector<SerialPort::Message>(owned.begin(), owned.end()));
    }
    ASSERT_TRUE(waitUntil([&] { return stalls == std::vector<bool>{true}; }));
    port->queue().sync([&] { EXPECT_LE(Access::waiting(*port), SerialPort::kStalledLimit); });

    // Once the board reads again nothing more is dropped: what is left arrives whole.
    got.clear();
    for (Bytes part; !(part = pty.receive(kCount * kSize, 300ms)).empty();)
        got.insert(got.end(), part.begin(), part.end());
    ASSERT_EQ(got.size() % kSize, 0u);  // nothing cut
    std::vector<int> ids;
    for (std::size_t at = 0; at < got.size(); at += kSize) {
        ASSERT_EQ(got[at], 0xF0);
        ASSERT_EQ(got[at + kSize - 1], 0xF7);
        ids.push_back(got[at + 1] << 7 | got[at + 2]);
    }
    ASSERT_FALSE(ids.empty());
    EXPECT_LT(ids.size(), std::size_t{kCount});
    EXPECT_EQ(ids.back(), kCount - 1);  // the newest are kept
    int gaps = 0;
    for (std::size_t i = 1; i < ids.size(); ++i) {
        ASSERT_GT(ids[i], ids[i - 1]);
        gaps += ids[i] != ids[i - 1] + 1;
    }
    // A run of the oldest waiting ones went at the bound and at the stall, the head kept whole.
    EXPECT_GE(gaps, 1);
    EXPECT_LE(gaps, 2);
    EXPECT_TRUE(waitUntil([&] { return stalls == std::vector<bool>{true, false}; }));
}
