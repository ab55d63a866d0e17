#include <gtest/gtest.h>

#include "bridge/run_loop.h"
#include "midi/loopback/loopback_midi.h"
#include "midi/midi_endpoints.h"

using namespace tessaryn;

TEST(LoopbackEndpoints, ListsHardwareEndpointsWithoutOurOwnAndTellsOfChangesOnTheMainQueue) {
    auto hub = std::make_shared<LoopbackHub>();
    RunLoop main;
    auto midi = std::make_unique<MIDIEndpoints>("Halvenor", hub->factory(),
                                                [&](auto task) { main.post(std::move(task)); });
    auto runMain = [&] {
        hub->flush();
        main.post([&] { main.quit(); });  // after what is queued now
        main.run();
    };
    int calls = 0;
    midi->setOnPortsChanged([&] { ++calls; });
    EXPECT_EQ(midi->availablePorts(), decltype(midi->availablePorts()){});
    const auto a = hub->addSource("Pad"), b = hub->addSource("");
    // The same name twice: told apart by ID.
    const auto c = hub->addDestination("Synth"), d = hub->addDestination("Synth");
    const auto [sources, destinations] = midi->availablePorts();
    EXPECT_EQ(sources, (std::vector<MIDIPortChoice>{{a, "Pad"}, {b, "MIDI"}}));
    EXPECT_EQ(destinations, (std::vector<MIDIPortChoice>{{c, "Synth"}, {d, "Synth"}}));
    EXPECT_NE(midi->ownSourceID(), 0);
    EXPECT_NE(midi->ownSourceID(), midi->ownDestID());

    hub->remove(d);
    EXPECT_EQ(calls, 0);  // nothing runs until the main queue does
    runMain();
    EXPECT_EQ(calls, 1);  // one rescan for announcements that came together
    hub->addSource("Late");
    runMain();
    EXPECT_EQ(calls, 2);
    hub->addSource("Later");
    hub->flush();
    midi.reset();
    runMain();  // the endpoints are gone: the queued task does nothing
    EXPECT_EQ(calls, 2);
}

// That the same names give the same ID, also in another process, the JACK and ALSA suites see.
TEST(StableEndpointID, DependsOnNamesAndOccurrenceOnly) {
    EXPECT_NE(stableEndpointID("USB Pad", "USB Pad MIDI 1", 0),
              stableEndpointID("USB Pad", "USB Pad MIDI 1", 1));
    EXPECT_NE(stableEndpointID("ab", "c", 0), stableEndpointID("a", "bc", 0));
}
