// The headless program on a real JACK server, as a user would run it with a board on a pty.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include "cli/process.h"
#include "midi/jack_peer.h"
#include "serial/pty.h"

using namespace tessaryn::testing;

namespace {

struct HeadlessJack : tessaryn::testing::TempDirTest {};

}  // namespace

TEST_F(HeadlessJack, BridgesAPtyToJackPrograms) {
    Pty pty;
    Process tessaryn({"--headless", "--midi", "jack", "--name", "Pads", "--config-dir",
                      (dir / "config").string(), "--baud", "31250", "--port", pty.path});
    ASSERT_TRUE(tessaryn.waitForOutput("Bridging " + pty.path.substr(5) + " @ 31250\n"))
        << tessaryn.err();
    JackPeer peer;
    peer.addPort("in", true);
    peer.addPort("out", false);
    peer.connect("Pads:Pads Out", peer.full("in"));
    peer.connect(peer.full("out"), "Pads:Pads In");
    ASSERT_TRUE(peer.waitLinks("in", 1) && peer.waitLinks("out", 1));

    // Running status from the board leaves as whole messages, one event each.
    pty.send({0xB0, 0x07, 0x40, 0x0A, 0x20});
    ASSERT_TRUE(peer.inbox.waitBytes(6)) << tessaryn.err();
    {
        std::lock_guard lock(peer.inbox.m);
        EXPECT_EQ(peer.inbox.packets, (std::vector<Bytes>{{0xB0, 0x07, 0x40}, {0xB0, 0x0A, 0x20}}));
    }
    peer.send("out", {0x90, 0x3C, 0x64});
    EXPECT_EQ(pty.receive(3), (Bytes{0x90, 0x3C, 0x64}));

    tessaryn.signal(SIGTERM);
    EXPECT_EQ(tessaryn.wait(), 0);
    EXPECT_EQ(tessaryn.err(), "");
}

int main(int argc, char** argv) {
    return tessaryn::testing::runJackTests(argc, argv);
}
