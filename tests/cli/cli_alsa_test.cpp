// The headless program against a real ALSA sequencer (inside the test VM).
#include "cli/process.h"
#include "midi/alsa_peer.h"
#include "serial/pty.h"
#include "temp_dir.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

using namespace tessaryn::testing;
namespace fs = std::filesystem;

namespace {

// Also systemd's readiness socket, as it names one: an abstract address.
struct Headless : TempDirTest {
    void SetUp() override {
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::memcpy(at.sun_path + 1, notify.data() + 1, notify.size() - 1);
        ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&at),
                         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notify.size())),
                  0);
    }
    ~Headless() override { ::close(sock); }
    std::vector<std::string> args(std::vector<std::string> a) {
        a.insert(a.end(),
                 {"--headless", "--config-dir", (dir / "config").string(), "--baud", "31250"});
        return a;
    }
    // What the program told the service manager next.
    std::string said() {
        char text[64] = {};
        pollfd p{sock, POLLIN, 0};
        return ::poll(&p, 1, 10000) == 1 ? std::string(text, ::recv(sock, text, sizeof text, 0))
                                         : std::string();
    }

    const std::string notify = "@tessaryn-test-" + std::to_string(::getpid());
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

}  // namespace

// Sleeps of all the program's threads so far.
long wakeups(pid_t pid) {
    long total = 0;
    for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const std::string status = readFile(t.path() / "status");
        total += std::stol(status.substr(status.find("\nvoluntary_ctxt_switches:") + 25));
    }
    return total;
}

// Each instance bridges its own board both ways and says what passes on stdout, unless --quiet;
// SIGTERM releases its held notes, and a second run under a name already running is refused.
// Without --wait a missing device ends the run; with it, the program waits for the device without
// waking and tells systemd when it is ready and when it stops.
TEST_F(Headless, TwoBoardsUnderTwoNamesOneWaitingForItsDevice) {
    const fs::path link = dir / "board";
    // Without --wait a missing device ends the run, said once, on stderr only.
    Process once(args({"--port", link.string()}));
    EXPECT_EQ(once.wait(), 1);
    EXPECT_EQ(once.err().rfind("tessaryn: Cannot open " + link.string(), 0), 0u) << once.err();
    EXPECT_EQ(std::ranges::count(once.err(), '\n'), 1) << once.err();
    EXPECT_EQ(once.out(), "");

    Pty padA, padB;
    Process a(args({"--name", "Pad A", "--port", padA.path}));
    ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
    Process b(args({"--name", "Pad B", "--port", link.string(), "--wait", "--quiet"}));
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(said(), "READY=1");  // the ports exist, the board is awaited
    ASSERT_TRUE(a.waitForOutput("Bridging")) << a.err();

    // Waiting for the board is waiting for its node: no timer wakes the program meanwhile (once
    // what it did on the way to ready is over: on a loaded machine that may come late).
    std::this_thread::sleep_for(500ms);
    const long before = wakeups(b.pid());
    std::this_thread::sleep_for(3s);
    EXPECT_LE(wakeups(b.pid()) - before, 1);
    fs::create_symlink(padB.path, link);
    ASSERT_TRUE(b.waitForOutput("Bridging " + link.string() + " @ 31250\n", 5s)) << b.out();

    Peer listenA("Listener A"), listenB("Listener B");
    listenA.subscribeTo("Pad A Out");
    listenB.subscribeTo("Pad B Out");
    padA.send({0x99, 0x3C, 0x64});
    padB.send({0xB0, 0x07, 0x41});
    ASSERT_TRUE(listenA.inbox.waitBytes(3));
    ASSERT_TRUE(listenB.inbox.waitBytes(3));
    EXPECT_TRUE(a.waitForOutput("Pad  Snare 38 · vel 100 · ch 10\n"));
    EXPECT_TRUE(a.waitForOutput("hit 60 → Snare 38 · ch 10 · vel 100\n"));
    listenB.sendTo("Pad A In", {0x90, 0x3C, 0x64});
    EXPECT_EQ(padA.receive(3), (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_TRUE(a.waitForOutput("MIDI  60 · vel 100 · ch 1\n"));
    EXPECT_TRUE(padB.receive(1, 300ms).empty());
    EXPECT_EQ(listenB.inbox.joined(), (Bytes{0xB0, 0x07, 0x41}));

    // Neither instance offers the other's ports as hardware.
    Process list({"--list-midi", "--name", "Pad A"});
    ASSERT_EQ(list.wait(), 0) << list.err();
    EXPECT_NE(list.out().find("Peer Port"), std::string::npos) << list.out();
    EXPECT_EQ(list.out().find("Pad "), std::string::npos) << list.out();

    Pty padC;
    Process again(args({"--name", "Pad A", "--port", padC.path}));
    EXPECT_EQ(again.wait(), 1);
    EXPECT_EQ(
        again.err(),
        "tessaryn: A headless tessaryn named \"Pad A\" is running and has its MIDI ports; stop it, "
        "or give this one another --name\n");

    a.signal(SIGTERM);
    b.signal(SIGINT);
    EXPECT_EQ(said(), "STOPPING=1");
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    ASSERT_TRUE(listenA.inbox.waitBytes(6));
    EXPECT_EQ(listenA.inbox.joined(), (Bytes{0x99, 0x26, 0x64, 0x89, 0x26, 0x00}));
    EXPECT_TRUE(a.waitForOutput("Stopped\n"));
    EXPECT_EQ(b.out().find("CC 7"), std::string::npos);  // --quiet: status lines only
}

// SIGTERM ends the program at once, held notes released, however busy it is: MIDI input
// flooding in, the device sending to a fast reader beside 20 slow ones, a storm of
// (un)subscriptions, and nobody reading its stdout. The receive thread must never hold the last
// reference to the bridge either.
TEST_F(Headless, SigtermUnderEveryLoadExitsAtOnceAndReleasesHeldNotes) {
    constexpr int runs = 20;
    Peer flooder("Flooder"), listener("Listener"), fickle("Fickle");
    std::vector<std::unique_ptr<Peer>> slow;
    for (int i = 0; i < 20; ++i)
        slow.push_back(std::make_unique<Peer>(("Slow " + std::to_string(i)).c_str(), 200, 50ms));
    ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
    for (int run = 0; run < runs; ++run) {
        Pty pty;
        Process tessaryn(args({"--port", pty.path}), TESSARYN_EXE, true);
        ASSERT_EQ(said(), "READY=1") << tessaryn.err();  // bridging
        listener.inbox.clear();
        listener.subscribeTo("Halvenor Out");
        for (auto& p : slow) p->subscribeTo("Halvenor Out");
        pty.send({0x90, 0x3C, 0x64});  // held, as 90 26 64
        ASSERT_TRUE(listener.inbox.waitBytes(3));
        const auto in = flooder.find("Halvenor In"), out = fickle.find("Halvenor Out");
        std::atomic<bool> go{true};
        std::vector<std::thread> load;
        load.emplace_back([&] {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            snd_seq_ev_set_noteon(&ev, 0, 60, 100);
            while (go) flooder.deliver(ev, in.client, in.port);  // fails once it is gone
        });
        load.emplace_back([&] {
            while (go) {
                snd_seq_connect_from(fickle.seq, fickle.port, out.client, out.port);
                snd_seq_disconnect_from(fickle.seq, fickle.port, out.client, out.port);
            }
        });
        load.emplace_back([&] {
            for (std::uint8_t v = 0; go; v = (v + 1) & 0x7F) {
                pty.send({0xB0, 0x07, v});
                std::this_thread::sleep_for(1ms);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + run % 5 * 20));
        tessaryn.signal(SIGTERM);
        // Four threads flood it here, and the VM is emulated and shared: its clock is no judge
        // of 0.5 s. What this catches: a blocked log held shutdown forever.
        const int code = tessaryn.wait(15s);
        go = false;
        for (auto& t : load) t.join();
        EXPECT_EQ(code, 0) << "run " << run << ": " << tessaryn.err();
        EXPECT_EQ(said(), "STOPPING=1");
        EXPECT_TRUE(eventually([&] {
            const Bytes got = listener.inbox.joined(), off{0x80, 0x26, 0x00};  // remapped
            return std::search(got.begin(), got.end(), off.begin(), off.end()) != got.end();
        })) << "run "
            << run << ": the held note was not released";
    }
    ::unsetenv("NOTIFY_SOCKET");
}

int main(int argc, char** argv) {
    return tessaryn::testing::runAlsaTests(argc, argv);
}
