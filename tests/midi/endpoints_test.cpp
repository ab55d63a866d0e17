#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "midi/loopback/loopback_midi.h"
#include "midi/midi_endpoints.h"

using namespace tessaryn;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Fixture : ::testing::Test {
    std::shared_ptr<LoopbackHub> hub = std::make_shared<LoopbackHub>();
    std::deque<std::function<void()>> mainTasks;  // posted from the hub's thread
    std::mutex mainLock;
    std::unique_ptr<MIDIEndpoints> midi;
    std::mutex inLock;
    std::vector<Bytes> in;

    void SetUp() override {
        midi = std::make_unique<MIDIEndpoints>("Halvenor", hub->factory(),
                                               [this](std::function<void()> f) {
                                                   std::lock_guard lock(mainLock);
                                                   mainTasks.push_back(std::move(f));
                                               });
        midi->setOnMIDIIn([this](std::span<const MIDIService::Event> events, bool) {
            std::lock_guard lock(inLock);
            for (const auto& e : events) in.emplace_back(e.bytes.begin(), e.bytes.end());
        });
    }
    int runMain() {
        hub->flush();
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(mainLock);
            tasks.swap(mainTasks);
        }
        for (auto& t : tasks) t();
        return static_cast<int>(tasks.size());
    }
};

}  // namespace

TEST_F(Fixture, ListsHardwareEndpointsWithoutOurOwnAndNamesTheNameless) {
    EXPECT_TRUE(midi->availablePorts().first.empty());
    EXPECT_TRUE(midi->availablePorts().second.empty());
    const auto a = hub->addSource("Pad");
    const auto b = hub->addSource("");
    const auto c = hub->addDestination("Synth");
    const auto d = hub->addDestination("Synth");  // same name twice: told apart by id
    const auto [sources, destinations] = midi->availablePorts();
    EXPECT_EQ(sources, (std::vector<MIDIPortChoice>{{a, "Pad"}, {b, "MIDI"}}));
    EXPECT_EQ(destinations, (std::vector<MIDIPortChoice>{{c, "Synth"}, {d, "Synth"}}));
    EXPECT_NE(midi->ownSourceID(), 0);
    EXPECT_NE(midi->ownSourceID(), midi->ownDestID());
}

TEST_F(Fixture, SetupChangesReachTheHandlerOnTheMainQueue) {
    int calls = 0;
    midi->setOnPortsChanged([&] { ++calls; });
    const auto id = hub->addDestination("Synth");
    hub->remove(id);
    EXPECT_EQ(calls, 0);      // nothing runs until the main queue does
    EXPECT_EQ(runMain(), 1);  // one rescan for announcements that came together
    EXPECT_EQ(calls, 1);
    hub->addSource("Pad");
    EXPECT_EQ(runMain(), 1);
    EXPECT_EQ(calls, 2);
    hub->addSource("Late");
    hub->flush();
    midi.reset();
    runMain();  // the endpoints are gone: the queued task does nothing
    EXPECT_EQ(calls, 2);
}

TEST_F(Fixture, ListenConnectsExactlyOneSource) {
    const auto a = hub->addSource("A");
    const auto b = hub->addSource("B");
    midi->listen(a);
    EXPECT_EQ(hub->connectedSource(), a);
    midi->listen(b);
    EXPECT_EQ(hub->connectedSource(), b);
    hub->sendFromSource(a, {0x90, 1, 1});
    hub->sendFromSource(b, {0x90, 2, 2});
    hub->sendToVirtualIn({0x90, 3, 3});
    hub->sendToVirtualIn({});
    hub->flush();
    EXPECT_EQ(in, (std::vector<Bytes>{{0x90, 2, 2}, {0x90, 3, 3}}));
    midi->listen(0);
    EXPECT_EQ(hub->connectedSource(), 0);
    midi->listen(b);
    hub->remove(b);
    midi->listen(b);  // vanished
    EXPECT_EQ(midi->connectedIn(), 0);
}

TEST(StableEndpointID, DependsOnNamesAndOccurrenceOnly) {
    EXPECT_EQ(stableEndpointID("USB Pad", "USB Pad MIDI 1", 0),
              stableEndpointID("USB Pad", "USB Pad MIDI 1", 0));
    EXPECT_NE(stableEndpointID("USB Pad", "USB Pad MIDI 1", 0),
              stableEndpointID("USB Pad", "USB Pad MIDI 1", 1));
    EXPECT_NE(stableEndpointID("ab", "c", 0), stableEndpointID("a", "bc", 0));
}
