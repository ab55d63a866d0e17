// The headless program against real USB serial boards (the kernel's USB gadget and cdc-acm in
// the test VM) and a real ALSA sequencer.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "cli/process.h"
#include "midi/alsa_peer.h"
#include "usb/board.h"

using namespace tessaryn::testing;
namespace fs = std::filesystem;

namespace {

const std::string kWaiting = "Device unplugged. Waiting for it to return.\n";
const Bytes kHit{0x99, 0x3C, 0x64}, kHitOnAlsa{0x99, 0x26, 0x64}, kOffOnAlsa{0x89, 0x26, 0x00};

// The ttyACM nodes the process has open.
std::vector<std::string> openBoards(pid_t pid) {
    std::vector<std::string> nodes;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(e.path(), ec).string();
        if (target.starts_with("/dev/ttyACM")) nodes.push_back(target);
    }
    return nodes;
}

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

struct Usb : TempDirTest {
    std::unique_ptr<Process> start(const std::string& port) {
        auto p = std::make_unique<Process>(
            std::vector<std::string>{"--headless", "--config-dir", (dir / "config").string(),
                                     "--baud", "31250", "--port", port, "--quiet"});
        EXPECT_TRUE(p->waitForOutput("Bridging " + port.substr(5) + " @ 31250\n")) << p->err();
        return p;
    }
    // Waits until the output holds `what` exactly `n` times.
    static bool waitCount(Process& p, const std::string& what, std::size_t n) {
        return p.waitFor([&](const std::string& out) { return occurrences(out, what) == n; });
    }
    std::vector<std::string> udc = udcs();
};

}  // namespace

// Every unplug with a note held ends that note on the sequencer and waits; every replug bridges
// again, both ways, within moments of the node appearing; descriptors and threads stay flat.
TEST_F(Usb, ReplugCyclesResumeEndHeldNotesAndLeakNothing) {
    const char* env = std::getenv("TESSARYN_USB_CYCLES");
    const int cycles = env ? std::atoi(env) : 200;
    UsbBoard board("pad", "PAD0001", udc[0]);
    ASSERT_EQ(board.plug(), "/dev/ttyACM0");
    auto tessaryn = start(board.node);
    Peer listener("Listener");
    listener.subscribeTo("Halvenor Out");
    const fs::path proc = "/proc/" + std::to_string(tessaryn->pid());
    int fdsAfterWarmUp = 0, threadsAfterWarmUp = 0;
    std::vector<double> resumeMs;
    Bytes expected;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        board.send(kHit);
        expected.insert(expected.end(), kHitOnAlsa.begin(), kHitOnAlsa.end());
        ASSERT_TRUE(listener.inbox.waitBytes(expected.size())) << "cycle " << cycle;
        board.unplug();
        ASSERT_TRUE(waitCount(*tessaryn, kWaiting, cycle)) << "cycle " << cycle;
        expected.insert(expected.end(), kOffOnAlsa.begin(), kOffOnAlsa.end());
        ASSERT_TRUE(listener.inbox.waitBytes(expected.size())) << "cycle " << cycle;
        ASSERT_FALSE(board.plug().empty()) << "cycle " << cycle;
        ASSERT_TRUE(waitCount(*tessaryn, "Bridging ", cycle + 1)) << "cycle " << cycle;
        resumeMs.push_back(msSince(board.appeared));
        listener.sendTo("Halvenor In", {0x90, 0x3C, 0x64});
        ASSERT_EQ(board.receive(3), (Bytes{0x90, 0x3C, 0x64})) << "cycle " << cycle;
        if (cycle == 10) {
            fdsAfterWarmUp = countEntries(proc / "fd");
            threadsAfterWarmUp = countEntries(proc / "task");
        }
    }
    const int fds = countEntries(proc / "fd"), threads = countEntries(proc / "task");
    tessaryn->signal(SIGTERM);
    EXPECT_EQ(tessaryn->wait(), 0);
    EXPECT_EQ(listener.inbox.joined(), expected);
    if (cycles >= 10) {
        EXPECT_LE(fds, fdsAfterWarmUp);
        EXPECT_LE(threads, threadsAfterWarmUp);
    }
    std::sort(resumeMs.begin(), resumeMs.end());
    const long slow =
        std::count_if(resumeMs.begin(), resumeMs.end(), [](double ms) { return ms > 100; });
    std::printf(
        "USB replug: %d cycles; bridging again after the node appeared: median %.1f ms, "
        "worst %.1f ms, %ld over 100 ms; opens refused and retried %zu; descriptors %d after "
        "10, %d at the end; threads %d, %d\n",
        cycles, resumeMs[resumeMs.size() / 2], resumeMs.back(), slow,
        occurrences(tessaryn->out(), "Cannot open"), fdsAfterWarmUp, fds, threadsAfterWarmUp,
        threads);
}

// A and B alike but for their serial numbers, A chosen: with A gone, B (even at A's path) is
// never opened; A back under another node is.
TEST_F(Usb, OnlyTheChosenBoardIsOpenedWhateverItsNode) {
    UsbBoard a("a", "A0001", udc[0]), b("b", "B0001", udc[1]);
    ASSERT_EQ(a.plug(), "/dev/ttyACM0");
    auto tessaryn = start(a.node);
    a.unplug();
    ASSERT_TRUE(waitCount(*tessaryn, kWaiting, 1));
    ASSERT_TRUE(tessaryn->waitFor([&](const std::string&) {
        return openBoards(tessaryn->pid()).empty();  // A's node is free for B
    }));
    ASSERT_EQ(b.plug(), "/dev/ttyACM0");
    // Nothing to wait for when nothing must happen: a while longer than the slowest retry.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(openBoards(tessaryn->pid()), std::vector<std::string>{});
    EXPECT_EQ(occurrences(tessaryn->out(), "Bridging "), 1u) << tessaryn->out();

    ASSERT_EQ(a.plug(), "/dev/ttyACM1");
    ASSERT_TRUE(tessaryn->waitForOutput("Bridging ttyACM1 @ 31250\n")) << tessaryn->out();
    EXPECT_EQ(openBoards(tessaryn->pid()), std::vector<std::string>{"/dev/ttyACM1"});
    Peer listener("Listener");
    listener.subscribeTo("Halvenor Out");
    a.send(kHit);
    ASSERT_TRUE(listener.inbox.waitBytes(3));
    EXPECT_EQ(listener.inbox.joined(), kHitOnAlsa);
    EXPECT_EQ(occurrences(tessaryn->out(), "Bridging "), 2u) << tessaryn->out();
}

// Unplugged halfway through a SysEx toward the board (paced at DIN speed, so it takes a
// while): the rest is dropped, and the first message after the replug arrives whole.
TEST_F(Usb, UnplugMidSysexResumesWithWholeMessages) {
    UsbBoard board("pad", "PAD0001", udc[0]);
    board.plug();
    auto tessaryn = start(board.node);
    Peer listener("Listener");
    listener.subscribeTo("Halvenor Out");
    Bytes sysex(4000, 0x55);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    listener.sendTo("Halvenor In", sysex);
    const Bytes head = board.receive(500);
    ASSERT_EQ(head.size(), 500u);
    ASSERT_EQ(head.front(), 0xF0);
    board.unplug();
    ASSERT_TRUE(waitCount(*tessaryn, kWaiting, 1));
    board.plug();
    ASSERT_TRUE(waitCount(*tessaryn, "Bridging ", 2)) << tessaryn->out();
    listener.sendTo("Halvenor In", {0x90, 0x3C, 0x64});
    EXPECT_EQ(board.receive(3), (Bytes{0x90, 0x3C, 0x64}));
    board.send(kHit);
    ASSERT_TRUE(listener.inbox.waitBytes(3));
    EXPECT_EQ(listener.inbox.joined(), kHitOnAlsa);
    tessaryn->signal(SIGTERM);
    EXPECT_EQ(tessaryn->wait(), 0);
}

int main(int argc, char** argv) {
    if (udcs().size() < 2) {
        std::fprintf(stderr, "no USB device controllers here (/sys/class/udc): %s\n",
                     std::getenv("ALSAVM") ? "the test VM should have two" : "skipped");
        return std::getenv("ALSAVM") ? 1 : 77;
    }
    return runAlsaTests(argc, argv);
}
