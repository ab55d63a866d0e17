// The headless program on a real JACK server, as a user would run it with a board on a pty.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include "cli/process.h"
#include "midi/jack_peer.h"
#include "midi/midi_service.h"
#include "serial/pty.h"

using namespace tessaryn::testing;

using HeadlessJack = TempDirTest;

// Also across a server that is killed and started again: the status says so, and the bridge
// carries on with the new server, its links to the chosen hardware destination and source made
// again; without reconnecting, the run fails so that systemd restarts it. Throughout, the process
// callback calls nothing in libjack beyond the port buffers, MIDI events and cycle clock (counted
// by a preloaded library), even with a hardware destination and another client adding ports.
TEST_F(HeadlessJack, BridgesAPtyToJackProgramsAcrossAServerRestart) {
    JackServer server;  // a test of its own, since it stops it
    Pty pty;
    using tessaryn::stableEndpointID;
    const std::string calls = dir / "calls";
    ::setenv("LD_PRELOAD", TESSARYN_JACK_RT_CALLS, 1);
    ::setenv("TESSARYN_JACK_CALLS", calls.c_str(), 1);
    ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // the library comes first
    Process tessaryn({"--headless", "--midi", "jack", "--name", "Pads", "--config-dir",
                      (dir / "config").string(), "--baud", "31250", "--port", pty.path, "--set",
                      "hardwareOutID=" + std::to_string(stableEndpointID("Peer", "synth", 0)),
                      "--set",
                      "hardwareInID=" + std::to_string(stableEndpointID("Peer", "keys", 0))});
    ::unsetenv("LD_PRELOAD");
    const std::string bridging = "Bridging " + pty.path.substr(5) + " @ 31250\n";
    ASSERT_TRUE(tessaryn.waitForOutput(bridging)) << tessaryn.err();
    Pty other;
    Process once({"--headless", "--midi", "jack", "--name", "Once", "--config-dir",
                  (dir / "once").string(), "--set", "reconnects=false", "--port", other.path});
    ASSERT_TRUE(once.waitForOutput("Bridging")) << once.err();

    // The bridge links the hardware destination when it first sends there, and again as soon
    // as it is back.
    auto trafficFlows = [&](int hardwareLinks) {
        JackPeer peer;
        peer.addPort("in", true);
        peer.addPort("out", false);
        peer.addPort("synth", true);  // the hardware destination
        peer.addPort("keys", false);  // the hardware source
        peer.connect("Pads:Pads Out", peer.full("in"));
        peer.connect(peer.full("out"), "Pads:Pads In");
        ASSERT_TRUE(peer.waitLinks("in", 1) && peer.waitLinks("out", 1) &&
                    peer.waitLinks("synth", hardwareLinks) && peer.waitLinks("keys", 1))
            << tessaryn.out();
        // Running status from the board leaves as whole messages, one event each, on both.
        pty.send({0xB0, 0x07, 0x40, 0x0A, 0x20});
        ASSERT_TRUE(peer.inbox.waitBytes(12)) << tessaryn.err();
        const auto events = peer.inbox.events();
        EXPECT_EQ(std::ranges::count(events, Bytes{0xB0, 0x07, 0x40}), 2);
        EXPECT_EQ(std::ranges::count(events, Bytes{0xB0, 0x0A, 0x20}), 2);
        peer.send("out", {0x90, 0x3C, 0x64});
        peer.send("keys", {0x80, 0x3C, 0x00});
        EXPECT_EQ(pty.receive(6), (Bytes{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00}));
        JackPeer other("Other");
        for (int i = 0; i < 100; ++i) {
            other.addPort("p" + std::to_string(i), i % 2);
            pty.send({0x90, static_cast<std::uint8_t>(i), 0x40});
        }
        EXPECT_TRUE(peer.inbox.waitBytes(12 + 2 * 300)) << peer.inbox.received();
    };
    trafficFlows(0);

    server.stop(SIGKILL);
    EXPECT_TRUE(tessaryn.waitForOutput("The JACK server has stopped. Waiting for it to return.\n"));
    EXPECT_EQ(once.wait(), 1) << once.err();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(tessaryn.waitFor(
        [&](const std::string& out) {
            return out.rfind(bridging) > out.find("The JACK server has stopped");
        },
        30s))
        << tessaryn.out();
    trafficFlows(1);

    tessaryn.signal(SIGTERM);
    EXPECT_EQ(tessaryn.wait(), 0);
    EXPECT_EQ(tessaryn.err(), "");
    const std::string counted = readFile(calls);
    EXPECT_TRUE(counted.starts_with("process ") && counted[8] != '0' &&
                counted.ends_with(", others 0 \n"))
        << counted;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!JackServer::available()) return 77;
    return RUN_ALL_TESTS();
}
