// The headless program against real USB serial boards (CDC-ACM gadgets and qemu's FT232 in the
// test VM) and a real ALSA sequencer.
#include <gtest/gtest.h>
#include <sys/klog.h>

#include "temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "cli/process.h"
#include "midi/alsa_peer.h"
#include "usb/board.h"

using namespace tessaryn::testing;

namespace {

const std::string kWaiting = "Device unplugged. Waiting for it to return.\n";
const Bytes kHit{0x99, 0x3C, 0x64}, kHitOnAlsa{0x99, 0x26, 0x64}, kOffOnAlsa{0x89, 0x26, 0x00},
    kNoteOn{0x90, 0x3C, 0x64};

// The USB serial nodes the process has open.
std::vector<std::string> openBoards(pid_t pid) {
    std::vector<std::string> nodes;
    for (const auto& fd : entries("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ec;
        const std::string target = fs::read_symlink(fd, ec).string();
        if (target.starts_with("/dev/ttyACM") || target.starts_with("/dev/ttyUSB"))
            nodes.push_back(target);
    }
    return nodes;
}

// The kernel's log since the last call: "<level>[seconds] text" lines.
std::string kernelLog() {
    std::string text(1 << 20, '\0');
    const int n = ::klogctl(4 /* read and clear */, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    return text;
}

struct Usb : TempDirTest {
    std::vector<std::string> as(const std::string& name) const {
        return {"--name", name, "--config-dir", dir.string()};
    }
    std::unique_ptr<Process> start(const std::string& port, int baud = 31250,
                                   const std::string& name = "Halvenor") {
        auto args = as(name);
        args.insert(args.end(),
                    {"--headless", "--quiet", "--port", port, "--baud", std::to_string(baud)});
        auto p = std::make_unique<Process>(args);
        EXPECT_TRUE(p->waitForOutput("Bridging " + port.substr(5) + " @ " + args.back() + "\n"))
            << p->err();
        return p;
    }
    // Waits until the output holds `what` exactly `n` times.
    static bool waitCount(Process& p, const std::string& what, std::size_t n) {
        return p.waitFor([&](const std::string& out) { return occurrences(out, what) == n; });
    }
    std::vector<fs::path> udc = entries("/sys/class/udc");
};

struct Case {
    const char* name;
    int cycles, baud;
    bool holdDTR;
    // What the driver says at open: the line set, DTR raised, DTR lowered; the latency timer.
    const char *line, *raised, *lowered, *latencyTimer;
};
struct Replug : Usb, ::testing::WithParamInterface<Case> {};

}  // namespace

// The line set at open: the FT232's divisor (48 MHz / 16 / baud) makes MIDI's rates exactly,
// low-latency mode sets its latency timer to 1 ms, and the driver raises DTR at open, which
// holdDTR lowers again. Every unplug with a note held ends that note on the sequencer and waits
// (the first halfway through a SysEx toward the board); every replug bridges again, both ways,
// whole messages first, within moments of the node appearing; descriptors and threads stay flat.
TEST_P(Replug, ResumesEndsHeldNotesAndLeaksNothing) {
    const Case& c = GetParam();
    const char* env = std::getenv("TESSARYN_USB_CYCLES");
    const int cycles = env ? std::atoi(env) : c.cycles;
    std::unique_ptr<Board> board;
    if (c.name == std::string("Acm"))
        board = std::make_unique<UsbBoard>("pad", "P1", udc[0].filename());
    else
        board = std::make_unique<Ft232>("FT1");
    ASSERT_FALSE(board->plug().empty());
    if (c.holdDTR) {
        auto set = as("Halvenor");
        set.insert(set.end(), {"--set", "holdDTR=true"});
        ASSERT_EQ(Process(set).wait(), 0);
    }
    kernelLog();
    auto tessaryn = start(board->node, c.baud);
    const std::string log = kernelLog();
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    EXPECT_NE(log.find(c.raised), std::string::npos) << log;
    EXPECT_EQ(log.find(c.lowered) != std::string::npos, c.holdDTR) << log;
    const auto seconds = [&](const char* what) {
        const auto at = log.find(what);
        return at == std::string::npos ? 0 : std::stod(log.substr(log.rfind('[', at) + 1));
    };
    std::string latency = "none";
    std::ifstream("/sys/class/tty/" + board->node.substr(5) + "/device/latency_timer") >> latency;
    EXPECT_EQ(latency, c.latencyTimer);

    Peer listener("Listener");
    listener.subscribeTo("Halvenor Out");
    const fs::path proc = "/proc/" + std::to_string(tessaryn->pid());
    int fdsAfterWarmUp = 0, threadsAfterWarmUp = 0;
    std::vector<double> resumeMs;
    Bytes expected;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        board->send(kHit);
        expected.insert(expected.end(), kHitOnAlsa.begin(), kHitOnAlsa.end());
        ASSERT_TRUE(listener.inbox.waitBytes(expected.size()));
        if (cycle == 1) {  // paced at DIN speed, so it is still on its way
            Bytes sysex(4000, 0x55);
            sysex.front() = 0xF0;
            sysex.back() = 0xF7;
            listener.sendTo("Halvenor In", sysex);
            ASSERT_EQ(board->receive(500), Bytes(sysex.begin(), sysex.begin() + 500));
        }
        board->unplug();
        ASSERT_TRUE(waitCount(*tessaryn, kWaiting, cycle));
        expected.insert(expected.end(), kOffOnAlsa.begin(), kOffOnAlsa.end());
        ASSERT_TRUE(listener.inbox.waitBytes(expected.size()));
        ASSERT_FALSE(board->plug().empty());
        ASSERT_TRUE(waitCount(*tessaryn, "Bridging ", cycle + 1));
        resumeMs.push_back(std::chrono::duration<double, std::milli>(
                               std::chrono::steady_clock::now() - board->appeared)
                               .count());
        listener.sendTo("Halvenor In", kNoteOn);
        ASSERT_EQ(board->receive(3), kNoteOn);
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
    std::printf(
        "USB %s at %d: DTR lowered %.1f ms after the driver raised it at open; %d cycles; bridging "
        "again after the node appeared: median %.1f ms, worst %.1f ms, %ld over 100 ms; opens "
        "refused and retried %zu; descriptors %d after 10, %d at the end; threads %d, %d\n",
        c.name, c.baud, c.holdDTR ? 1000 * (seconds(c.lowered) - seconds(c.raised)) : 0.0, cycles,
        resumeMs[resumeMs.size() / 2], resumeMs.back(),
        std::count_if(resumeMs.begin(), resumeMs.end(), [](double ms) { return ms > 100; }),
        occurrences(tessaryn->out(), "Cannot open"), fdsAfterWarmUp, fds, threadsAfterWarmUp,
        threads);
}
INSTANTIATE_TEST_SUITE_P(
    Boards, Replug,
    ::testing::Values(
        Case{"Acm", 200, 31250, true, "", "rq 0x22, val 0x3", "rq 0x22, val 0x2", "none"},
        Case{"Ft232", 20, 31250, false, "to 31250 (divisor 0x60)", "DTR HIGH", "DTR LOW", "1"},
        Case{"Ft232HoldingDTR", 20, 250000, true, "to 250000 (divisor 0xC)", "DTR HIGH", "DTR LOW",
             "1"}),
    [](const auto& info) { return std::string(info.param.name); });

// Pads on A, Keys on B: with A gone and C landing on A's old node, Pads tries neither B nor C
// (an instance that has opened its board opens no other); A back under another node is Pads'.
TEST_F(Usb, AnInstanceNeverTriesAnotherBoard) {
    UsbBoard a("a", "A1", udc[0].filename()), b("b", "B1", udc[1].filename()),
        c("c", "C1", udc[2].filename());
    ASSERT_EQ(a.plug(), "/dev/ttyACM0");
    ASSERT_EQ(b.plug(), "/dev/ttyACM1");
    auto pads = start(a.node, 31250, "Pads"), keys = start(b.node, 31250, "Keys");
    a.unplug();
    ASSERT_TRUE(waitCount(*pads, kWaiting, 1));
    ASSERT_TRUE(pads->waitFor([&](const std::string&) { return openBoards(pads->pid()).empty(); }));
    ASSERT_EQ(c.plug(), "/dev/ttyACM0");
    // Nothing to wait for when nothing must happen: a while longer than the slowest retry.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(openBoards(pads->pid()), std::vector<std::string>{});
    EXPECT_EQ(occurrences(pads->out() + pads->err(), "Cannot open"), 0u) << pads->err();
    EXPECT_EQ(openBoards(keys->pid()), std::vector<std::string>{"/dev/ttyACM1"});

    ASSERT_EQ(a.plug(), "/dev/ttyACM2");
    ASSERT_TRUE(pads->waitForOutput("Bridging ttyACM2 @ 31250\n")) << pads->out();
    EXPECT_EQ(openBoards(pads->pid()), std::vector<std::string>{"/dev/ttyACM2"});
    Peer listener("Listener");
    listener.subscribeTo("Pads Out");
    a.send(kHit);
    ASSERT_TRUE(listener.inbox.waitBytes(3));
    EXPECT_EQ(listener.inbox.joined(), kHitOnAlsa);
    EXPECT_EQ(occurrences(pads->out() + keys->out(), "Bridging "), 3u) << pads->out();
}

int main(int argc, char** argv) {
    if (entries("/sys/class/udc").size() < 3 || virtioPort("qmp").empty()) {
        std::fprintf(stderr, "no USB device controllers (/sys/class/udc) or qemu monitor: %s\n",
                     std::getenv("ALSAVM") ? "the test VM should have them" : "skipped");
        return std::getenv("ALSAVM") ? 1 : 77;
    }
    return runAlsaTests(argc, argv);
}
