// The JACK backend against a real server (jackd or PipeWire, dummy driver) and a JACK program of
// the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "midi/jack/jack_midi.h"
#include "midi/jack_peer.h"
#include "midi/midi_endpoints.h"
#include "midi/midi_stream_parser.h"
#include "midi/parsed.h"

using namespace tessaryn;
using namespace tessaryn::testing;

namespace {

struct JackEndpoints : ::testing::Test {
    // The backend reports only what it had to drop, which nothing here should make it do. What
    // it posts to the main queue is not looked at.
    std::unique_ptr<MIDIEndpoints> open(const std::string& name) {
        return std::make_unique<MIDIEndpoints>(
            name, jackMIDIFactory([](const std::string& t) { ADD_FAILURE() << t; }), [](auto) {});
    }
    std::unique_ptr<MIDIEndpoints> midi = open("Halvenor");
};

}  // namespace

TEST_F(JackEndpoints, OwnPortsAndOtherInstancesAreNeverListedAsHardware) {
    JackPeer peer;
    peer.addPort("out", false);
    peer.addPort("in", true);
    auto second = open("Second");

    // Only the peer's ports (the dummy driver's are audio), in every instance, under an ID that
    // depends on their names alone (so it is the same after a restart).
    const std::vector<MIDIPortChoice> out{{stableEndpointID("Peer", "out", 0), "Peer:out"}},
        in{{stableEndpointID("Peer", "in", 0), "Peer:in"}};
    for (auto* m : {midi.get(), second.get()}) EXPECT_EQ(m->availablePorts(), std::pair(out, in));

    // The hardware-facing ports exist, linked, only while a hardware endpoint is chosen.
    auto hardwarePorts = [&](bool there) {
        return eventually([&] {
            return peer.hasPort("Halvenor:Halvenor Hardware Out") == there &&
                   peer.hasPort("Halvenor:Halvenor Hardware In") == there;
        });
    };
    EXPECT_TRUE(hardwarePorts(false));
    midi->service().publishAll(std::vector<MIDIMessage>{{0x90, 0x3C, 0x64}}, in[0].id);
    EXPECT_TRUE(midi->service().connectSource(out[0].id));
    EXPECT_TRUE(hardwarePorts(true) && peer.waitLinks("in", 1) && peer.waitLinks("out", 1));
    midi->service().publishAll({}, 0);
    midi->service().disconnectSource();
    EXPECT_TRUE(hardwarePorts(false) && peer.waitLinks("in", 0) && peer.waitLinks("out", 0));

    // A JACK client name is taken only once (PipeWire's JACK would let it); with no server, the
    // message names the one this libjack talks to.
    auto refusal = [&](const std::string& name) -> std::string {
        try {
            open(name);
        } catch (const MIDIServiceError& e) {
            return e.what();
        }
        return name + " opened";
    };
    EXPECT_PRED_FORMAT2(::testing::IsSubstring, "may be running already", refusal("Second"));
    const char* where = pipeWireJack() ? "XDG_RUNTIME_DIR" : "JACK_DEFAULT_SERVER";
    const std::string kept = std::getenv(where);
    ::setenv(where, "/none", 1);
    EXPECT_PRED_FORMAT2(::testing::IsSubstring,
                        pipeWireJack() ? "PipeWire is not running" : "No JACK server named",
                        refusal("Third"));
    ::setenv(where, kept.c_str(), 1);
}

// Messages leave whole and in order. Each leaves one period after it was handed over, at its place
// in the period: a burst keeps its spacing, and the latency is one period whenever a message
// comes. The period is 1024 frames. The clock is read a moment before each hand-off, a moment
// that a loaded machine or a sanitizer build may stretch, and a starved dummy driver runs periods
// late: of five bursts, one must keep its spacing (without the stamps none ever does).
TEST_F(JackEndpoints, MessagesGoOutAndComeInWholeAndLeaveAtTheirPlaceInThePeriod) {
    Parsed parsed;
    midi->setOnMIDIIn([&](auto events, bool lostBefore) { parsed.add(events, lostBefore); });
    JackPeer peer;
    peer.addPort("in", true);
    peer.addPort("librarian", false);
    peer.addPort("daw", false);
    peer.connect("Halvenor:Halvenor Out", peer.full("in"));
    peer.connect(peer.full("librarian"), "Halvenor:Halvenor In");
    peer.connect(peer.full("daw"), "Halvenor:Halvenor In");
    ASSERT_TRUE(peer.waitLinks("in", 1) && peer.waitLinks("librarian", 1) &&
                peer.waitLinks("daw", 1));

    // Coming in, JACK merges every program linked to a port into one stream of events in time
    // order: another program's note between the pieces of a SysEx is neither taken for its data
    // nor cuts it.
    const Bytes note{0x90, 0x3C, 0x64}, dump = sysex(20000);
    for (jack_nframes_t at = 0; at < dump.size(); at += 2000) {
        peer.send("librarian", Bytes(dump.begin() + at, dump.begin() + at + 2000), at / 1000);
        peer.send("daw", note, at / 1000 + 1);
    }
    const auto messages = parsed.wait(11);
    EXPECT_EQ(messages.size(), 11u);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), note), 10);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), dump), 1);

    // The largest SysEx cannot fit one period; it leaves in order, in consecutive SysEx events
    // of one message, and the note behind it waits for it.
    const Bytes mid = sysex(3000), big = sysex(MIDIStreamParser::kMaxSysex);
    for (const Bytes* m : {&note, &mid, &big, &note}) sendToMIDI(*midi, *m, 0);
    const Bytes all = joined({&note, &mid, &big, &note});
    ASSERT_TRUE(peer.inbox.waitBytes(all.size(), 30s)) << peer.inbox.received();
    EXPECT_EQ(peer.inbox.joined(), all);
    EXPECT_EQ(midi->service().losses().toReaders, 0u);
    const auto events = peer.inbox.events();
    ASSERT_GE(events.size(), 5u);  // the big one took more than one event
    EXPECT_EQ(events[0], note);
    EXPECT_EQ(events[1], mid);
    EXPECT_EQ(events.back(), note);
    for (std::size_t i = 2; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].front() == 0xF0, i == 2) << i;  // one message, one start
        EXPECT_EQ(events[i].back() == 0xF7, i + 2 == events.size()) << i;
    }
#ifndef __SANITIZE_THREAD__  // a process under TSan holds the server's periods up by many periods
    peer.inbox.clear();
    std::vector<jack_nframes_t> latency(10);
    auto kept = [&] {
        const auto [low, high] = std::ranges::minmax(latency);
        return low >= 1024 - 8 && high <= 1024 + 64 && high - low <= 16;
    };
    for (int tries = 0; tries < 5 && (tries == 0 || !kept()); ++tries) {
        std::vector<jack_nframes_t> sent;
        for (std::uint8_t note = 36; note < 46; ++note) {
            sent.push_back(peer.now());
            sendToMIDI(*midi, Bytes{0x99, note, 0x64}, 0);
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(peer.inbox.waitBytes(30 * (tries + 1)));
        const auto arrived = peer.arrivals();
        std::transform(arrived.end() - 10, arrived.end(), sent.begin(), latency.begin(),
                       std::minus{});
    }
    EXPECT_TRUE(kept()) << ::testing::PrintToString(latency);
#endif

    // A flood of as many notes as the peer's buffer takes, over a thousand a period: every one
    // arrives, in order.
    std::vector<Bytes> flood;
    for (int i = 0; i < 100000; ++i) flood.push_back({0x90, std::uint8_t(i % 128), 1});
    for (const Bytes& m : flood) peer.send("daw", m);
    const auto flooded = parsed.wait(11 + flood.size(), 60s);
    EXPECT_TRUE(std::equal(flooded.begin() + 11, flooded.end(), flood.begin(), flood.end()));
    EXPECT_EQ(midi->service().losses().input, 0u);
}

// Skipped (77) without the server; otherwise the suite runs against a server of its own.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!JackServer::available()) return std::fprintf(stderr, "no JACK server: skipped\n"), 77;
    JackServer server;
    if (server.ready()) return RUN_ALL_TESTS();
    return std::fprintf(stderr, "%s did not start\n", server.describe().c_str()), 1;
}
