// The ALSA backend against a real sequencer. Runs inside the test VM (ALSAVM=1), where a missing
// sequencer is a failure; elsewhere without /dev/snd/seq it skips.
#include "bridge/run_loop.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/alsa_peer.h"
#include "midi/midi_endpoints.h"
#include "midi/parsed.h"

using namespace tessaryn;
using namespace tessaryn::testing;

namespace {

struct AlsaEndpoints : ::testing::Test {
    RunLoop main;
    Parsed parsed;  // what comes in, each sender's messages parsed on their own
    std::unique_ptr<MIDIEndpoints> midi = std::make_unique<MIDIEndpoints>(
        "Halvenor", alsaMIDIFactory(), [this](auto task) { main.post(std::move(task)); });
    AlsaEndpoints() {
        midi->setOnMIDIIn([this](auto events, bool lostBefore) { parsed.add(events, lostBefore); });
    }
};

}  // namespace

// What other programs see of our ports (what we list, never our own ports nor another instance's:
// cli_alsa_tests --list-midi), and what they get from them.
TEST_F(AlsaEndpoints, SentMessagesArriveWholeAtSubscribersAndTheChosenDestination) {
    Peer listener("Listener");
    const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    EXPECT_EQ(listener.find("Halvenor In").caps & writable, writable);
    EXPECT_EQ(listener.find("Halvenor Hardware Out").caps & SND_SEQ_PORT_CAP_SUBS_READ, 0u);
    EXPECT_EQ(listener.clientsNamed("Halvenor"), 1);  // no helper client beside the real one
    listener.subscribeTo("Halvenor Out");             // readable by subscribers, or this fails
    Peer through("Through Watcher");
    through.subscribeTo("Midi Through Port-0");
    const std::int32_t throughID = idOf(midi->availablePorts().second, "Midi Through Port-0");
    ASSERT_NE(throughID, 0);

    const Bytes note{0x90, 0x3C, 0x64}, mid = sysex(3000), big = sysex(1 << 20);
    const Bytes all = joined({&note, &mid, &big});

    midi->service().publishAll(
        std::vector<MIDIMessage>{MIDIMessage(note), MIDIMessage(mid), MIDIMessage(big)}, throughID);
    for (Peer* peer : {&listener, &through}) {
        ASSERT_TRUE(peer->inbox.waitBytes(all.size(), 60s))
            << (peer == &listener ? "listener: " : "through: ") << peer->inbox.joined().size()
            << " of " << all.size() << ", overflows " << peer->overflows;
        EXPECT_EQ(peer->inbox.joined(), all);
        EXPECT_EQ(peer->overflows, 0);
    }
}

// A reader that has stopped (a suspended program: its queue fills and stays full) and twenty that
// read only every 50 ms never hold up the sender (the device side): it hands over what cannot go
// at once and goes back to reading. The full reader loses messages alone; a fast one gets each
// once and in order.
TEST_F(AlsaEndpoints, StoppedAndSlowReadersLoseAloneAndNeverHoldUpTheSender) {
    Peer stalled("Suspended", 4, -1ms);
    stalled.subscribeTo("Halvenor Out");
    std::vector<std::unique_ptr<Peer>> lagging;
    for (int i = 0; i < 20; ++i) {
        lagging.push_back(std::make_unique<Peer>(("Slow " + std::to_string(i)).c_str(), 200, 50ms));
        lagging.back()->subscribeTo("Halvenor Out");
    }
    Peer healthy("Healthy");
    healthy.subscribeTo("Halvenor Out");
    Bytes all;
    std::vector<MIDIMessage> chunk;   // as they come from the device: several at once
    int held = 0;                     // sends that took 50 ms or more
    for (int i = 0; i < 3000; ++i) {  // a board at about 10 KB/s
        chunk.push_back({0x90, std::uint8_t(i % 128), std::uint8_t(1 + i / 128)});
        all.insert(all.end(), chunk.back().begin(), chunk.back().end());
        if (chunk.size() < 10) continue;
        const auto t0 = std::chrono::steady_clock::now();
        midi->service().publishAll(chunk, 12345);  // a stale hardware ID, skipped
        held += std::chrono::steady_clock::now() - t0 >= 50ms;
        chunk.clear();
        std::this_thread::sleep_for(3ms);
    }
    ASSERT_TRUE(healthy.inbox.waitBytes(all.size(), 20s)) << healthy.inbox.received();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(healthy.inbox.joined(), all);
    EXPECT_GT(midi->service().losses().toReaders, 0u);
    // Waiting for the slow readers took 100 ms to seconds a send; handing over takes microseconds,
    // but an emulated machine under load may stall any one of the 300 sends.
    EXPECT_LE(held, 3);
    lagging.clear();

    // A long SysEx waits for a reader that is still reading, even slowly with a small queue
    // (the sequencer's default pool), but not for one that has stopped.
    Peer slow("Slow", 200, 5ms);
    slow.subscribeTo("Halvenor Out");
    healthy.inbox.clear();
    const Bytes dump = sysex(200000);
    midi->service().publish(dump);
    for (Peer* reader : {&healthy, &slow}) {
        ASSERT_TRUE(reader->inbox.waitBytes(dump.size(), 20s))
            << (reader == &slow ? "slow: " : "healthy: ") << reader->inbox.received();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(reader->inbox.joined(), dump);
        EXPECT_EQ(reader->overflows, 0);
    }
}

// Programs split a SysEx into events of 256 bytes; another program's note between them is
// neither taken for SysEx data nor cuts it, and a SysEx that loses a piece is never forwarded.
TEST_F(AlsaEndpoints, TwoProgramsSendingAtOnceKeepTheirMessagesWholeAndHolesAreNotHidden) {
    Peer librarian("Librarian"), daw("DAW");
    const Bytes dump = sysex(20480), note{0x90, 0x11, 0x11};
    for (std::size_t at = 0; at < dump.size(); at += 256) {
        ASSERT_EQ(librarian.sendSysexEvent("Halvenor In", {&dump[at], 256}), 0);
        if (at == 20 * 256) daw.sendTo("Halvenor In", note);
    }
    EXPECT_EQ(parsed.wait(2), (std::vector<Bytes>{note, dump}));

    // An event too large for our queue is refused and counted as our overflow (the sequencer
    // empties our queue): the SysEx it fell in never completes, even if its end comes.
    const auto before = midi->service().losses().input;
    ASSERT_EQ(librarian.sendSysexEvent("Halvenor In", {dump.data(), 256}), 0);
    EXPECT_EQ(daw.sendSysexEvent("Halvenor In", sysex(65536)), -ENOMEM);
    ASSERT_EQ(librarian.sendSysexEvent("Halvenor In", {dump.end() - 256, dump.end()}), 0);
    eventually([&] { return midi->service().losses().input > before; });
    EXPECT_EQ(midi->service().losses().input, before + 1);  // counted once
    daw.sendTo("Halvenor In", note);
    EXPECT_EQ(parsed.wait(3), (std::vector<Bytes>{note, dump, note}));

    // The largest single event the sequencer delivers to us (as many 28-byte cells as our input
    // pool, 2,000) arrives whole, and input goes on once it is read.
    const Bytes big = sysex(55972);
    ASSERT_EQ(librarian.sendSysexEvent("Halvenor In", big), 0);
    ASSERT_EQ(parsed.wait(4).size(), 4u);
    daw.sendTo("Halvenor In", note);
    EXPECT_EQ(parsed.wait(5), (std::vector<Bytes>{note, dump, note, big, note}));
}

// Also what the window hears of: each coming and going is announced, and the source keeps its ID.
TEST_F(AlsaEndpoints, TheChosenSourceIsFollowedWhenItAppearsLaterAndAcrossReplugs) {
    std::atomic<int> changes{0};
    midi->setOnPortsChanged([&] { ++changes; });
    // Chosen before it is plugged in: connected once the sequencer announces it.
    const std::int32_t id = stableEndpointID("Keyboard", "Peer Port", 0);
    midi->listen(id);
    const Bytes note{0x90, 0x3C, 0x64};
    for (int plug = 0, before = 0; plug < 2; ++plug, before = changes) {
        Peer keyboard("Keyboard");
        ASSERT_TRUE(main.runUntil([&] { return keyboard.readers() == 1 && changes > before; }, 5s))
            << plug;
        EXPECT_EQ(idOf(midi->availablePorts().first, "Peer Port"), id);
        midi->listen(id);  // again: still exactly one connection
        EXPECT_EQ(midi->connectedIn(), id);
        EXPECT_EQ(keyboard.readers(), 1);
        keyboard.publish(note);
        EXPECT_EQ(parsed.wait(plug + 1), std::vector<Bytes>(plug + 1, note)) << plug;
        if (plug == 1) {  // another choice, one that has vanished, lets go of this one
            midi->listen(77777);
            EXPECT_EQ(midi->connectedIn(), 0);
            EXPECT_EQ(keyboard.readers(), 0);
        }
    }  // the keyboard is unplugged at the end of each round
    const int afterLeave = changes;
    ASSERT_TRUE(main.runUntil([&] { return changes > afterLeave; }, 5s));
    EXPECT_EQ(idOf(midi->availablePorts().first, "Peer Port"), 0);
}

int main(int argc, char** argv) {
    return tessaryn::testing::runAlsaTests(argc, argv);
}
