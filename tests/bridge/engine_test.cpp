// The engine over the loopback MIDI service and a pty board: the wiring of its parts, and the
// races between its threads.
#include <atomic>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/run_loop.h"
#include "midi/handoff.h"
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using namespace tessaryn;
using namespace tessaryn::testing;

namespace {

// A bridge over the loopback MIDI service, a temporary preferences folder and a pty board.
class Engine : public TempDirTest {
  protected:
    void SetUp() override { create(); }
    void create() {
        prefs = std::make_shared<Preferences>(dir);
        bridge = Bridge::create(main, prefs, hub->factory(), [this] { return ports; });
    }
    void startOnPty() {
        bridge->start(pty.path, {31250});
        ASSERT_TRUE(bridge->running()) << bridge->status();
    }
    // Runs the main queue until `done` holds.
    bool until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
        return main.runUntil(done, timeout);
    }
    bool publishedAtLeast(std::size_t n) {
        return until([&] { return hub->published().size() >= n; });
    }
    // Lets every hand-off in flight land.
    void settle(std::chrono::milliseconds d = 50ms) { main.runFor(d); }
    std::vector<std::string> monitorTexts() {
        std::vector<std::string> out;
        for (const auto& l : bridge->monitor()) out.push_back(l.text);
        return out;
    }

    RunLoop main;
    std::shared_ptr<LoopbackHub> hub = std::make_shared<LoopbackHub>();
    std::shared_ptr<Preferences> prefs;
    Pty pty;
    // What the bridge sees as the serial devices present; it asks on the main queue, this thread.
    std::vector<SerialDevice> ports;
    std::shared_ptr<Bridge> bridge;  // last: gone before what it uses
};

}  // namespace

TEST_F(Engine, FirstLaunchStoresTheTenKeysAndStoredValuesAreReadTypedAndClamped) {
    std::vector<std::string> keys;  // an object's items come sorted
    const auto stored = nlohmann::json::parse(readFile(dir / "preferences.json"), nullptr, false);
    for (const auto& [k, v] : stored.items()) keys.push_back(k);
    EXPECT_EQ(keys,
              (std::vector<std::string>{"blockEcho", "dropClock", "dropSensing", "forceDrumChannel",
                                        "hardwareInID", "hardwareOutID", "paceSysex", "remapNotes",
                                        "targetNote", "velocityCurve"}));
    bridge.reset();

    // Undecodable routes: no routes, and the stored value is left as it was.
    const std::string damaged = "[{\"isCC\":true,\"source\":7,\"destination\":20}]";
    std::ofstream(dir / "preferences.json")
        << R"({"targetNote": 200, "dropClock": "no", "velocityCurve": 2.5, "port": "/dev/ttyACM0",
              "remapNotes": false})";
    Preferences(dir).setData("learnedRoutes", damaged);
    create();
    EXPECT_TRUE(bridge->routes().empty());
    EXPECT_EQ(prefs->data("learnedRoutes"), damaged);
    EXPECT_EQ(bridge->targetNote(), 127);
    EXPECT_TRUE(bridge->dropClock());  // text is not a boolean: the default
    EXPECT_EQ(bridge->velocityCurve(), 2.5);
    EXPECT_FALSE(bridge->remapNotes());
    EXPECT_FALSE(bridge->running());  // a stored port is not opened at creation
    bridge->setTargetNote(-5);
    EXPECT_EQ(bridge->targetNote(), 0);
    EXPECT_EQ(prefs->integer("targetNote"), 0);
    bridge->setTargetNote(130);
    EXPECT_EQ(Preferences(dir).integer("targetNote"), 127);
}

// Each chunk is one change of the list, holding its newest lines; nothing is made while nobody
// shows the monitor, and the counters, light and hit line carry on.
TEST_F(Engine, EachChunkShowsItsNewestEightLinesInOneChange) {
    bridge->setRemapNotes(false);
    bridge->setDropClock(false);
    int changes = 0;
    bridge->observe([&](BridgeProperty p) { changes += p == BridgeProperty::monitor; });
    startOnPty();
    Bytes chunk{0xB0};
    for (std::uint8_t i = 0; i < 10; ++i) chunk.insert(chunk.end(), {i, 0x40});
    chunk.push_back(0xF8);  // sent, never shown
    pty.send(chunk);
    ASSERT_TRUE(until([&] { return changes > 0; }));
    settle();
    EXPECT_EQ(changes, 1);
    auto texts = monitorTexts();
    ASSERT_EQ(texts.size(), 8u);
    EXPECT_EQ(texts.front(), "Pad  CC 2 · 64 · ch 1");
    EXPECT_EQ(texts.back(), "Pad  CC 9 · 64 · ch 1");
    EXPECT_NE(bridge->monitor()[0].id, bridge->monitor()[1].id);

    hub->sendToVirtualIn({0x90, 0x3C, 0x64, 0x3E, 0x64, 0xF8, 0xC0, 0x05});
    ASSERT_TRUE(until([&] { return changes == 2; }));
    EXPECT_EQ(monitorTexts(),
              (std::vector<std::string>{"Pad  CC 5 · 64 · ch 1", "Pad  CC 6 · 64 · ch 1",
                                        "Pad  CC 7 · 64 · ch 1", "Pad  CC 8 · 64 · ch 1",
                                        "Pad  CC 9 · 64 · ch 1", "MIDI  60 · vel 100 · ch 1",
                                        "MIDI  62 · vel 100 · ch 1", "MIDI  Program 5 · ch 1"}));

    bridge->setMonitorShown(false);
    const auto before = bridge->monitor();
    pty.send({0x99, 0x26, 0x64});
    hub->sendToVirtualIn({0xB0, 0x01, 0x02});
    ASSERT_TRUE(until([&] { return bridge->bytesIn() == 25 && bridge->bytesOut() == 11; }));
    settle();
    EXPECT_EQ(bridge->monitor(), before);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(bridge->lastMapped(), "hit 38 · ch 10 · vel 100 · unchanged");

    // A log's burst comes in pieces: a task posted meanwhile (a stop) waits for one, not for all.
    bridge->setMonitorShown(true, std::numeric_limits<std::size_t>::max());
    Bytes burst;
    for (int i = 0; i < 1000; ++i) burst.insert(burst.end(), {0xB0, 0x01, 0x02});
    hub->sendToVirtualIn(burst);
    hub->flush();
    std::size_t shown = 0;
    std::optional<std::size_t> shownBeforeTask;
    bridge->observe([&](BridgeProperty p) {
        if (p != BridgeProperty::monitor) return;
        if (shown == 0) main.post([&] { shownBeforeTask = shown; });
        shown += bridge->monitorAdded().size();
    });
    ASSERT_TRUE(until([&] { return shown == 1000 && shownBeforeTask; })) << shown;
    EXPECT_LT(*shownBeforeTask, 1000u);
}

// Also the serial port's pacing and call order, through the bridge. Held notes on stop and
// unplug, and the remapped hit with its monitor and hit lines, through the real program:
// cli_alsa_tests and the usb suite; the activity light: window_tests.
TEST_F(Engine, BothWaysWithHardwarePortsPacedAndAStalledDeviceShown) {
    const auto synth = hub->addDestination("Synth");
    const auto pad = hub->addSource("Pad");
    ASSERT_TRUE(until([&] { return bridge->midiSources().size() == 1; }));
    bridge->setHardwareOutID(synth);
    bridge->setHardwareInID(pad);
    EXPECT_EQ(hub->connectedSource(), pad);
    hub->sendToVirtualIn({0x90, 0x3C, 0x64});  // shown with no device
    ASSERT_TRUE(until([&] { return bridge->bytesOut() == 3; }));
    EXPECT_EQ(monitorTexts(), (std::vector<std::string>{"MIDI  60 · vel 100 · ch 1"}));
    startOnPty();
    hub->sendFromSource(pad, {0xC0, 0x05});
    EXPECT_EQ(pty.receive(2), (Bytes{0xC0, 0x05}));
    hub->sendToVirtualIn({0x90, 0x3C, 0x64, 0x3E, 0x64});
    EXPECT_EQ(pty.receive(6), (Bytes{0x90, 0x3C, 0x64, 0x90, 0x3E, 0x64}));
    ASSERT_TRUE(until([&] { return bridge->bytesOut() == 7; }));

    // A message split across reads goes out whole; remapping off releases held notes.
    pty.send({0x90, 0x30});
    until([&] { return bridge->bytesIn() == 2; });
    EXPECT_TRUE(hub->published().empty());
    pty.send({0x64, 0x32, 0x64});
    ASSERT_TRUE(publishedAtLeast(2));
    hub->clear();
    bridge->setRemapNotes(false);
    const std::vector<Bytes> offs{{0x80, 0x26, 0x00}, {0x80, 0x26, 0x00}};
    EXPECT_EQ(hub->published(), offs);
    EXPECT_EQ(hub->sentTo(synth), offs);
    bridge->setRemapNotes(true);
    EXPECT_EQ(hub->published().size(), 2u);  // switching on sends nothing
    // No input chosen, or an ID no port can have: disconnected.
    bridge->setHardwareInID(0);
    EXPECT_EQ(hub->connectedSource(), 0);
    bridge->setHardwareInID(int64_t{1} << 40);  // no 32-bit ID: none
    EXPECT_EQ(hub->connectedSource(), 0);

    Bytes packet = sysex(200);
    packet.insert(packet.end(), {0x80, 0x3C, 0x00});
    const auto t0 = std::chrono::steady_clock::now();
    hub->sendToVirtualIn(packet);
    EXPECT_EQ(pty.receive(203), packet);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 199 * 300us);  // paced, note queued behind

    // A device that stops reading is shown until it reads again.
    const std::string bridging = bridge->status();
    bridge->setPaceSysex(false);
    const Bytes dump = sysex(1000);
    for (int i = 0; i < 200; ++i) hub->sendToVirtualIn(dump);
    ASSERT_TRUE(until([&] { return bridge->status() == Bridge::kNotReading; }, 10s));
    pty.receive(1 << 20, 500ms);
    ASSERT_TRUE(until([&] { return bridge->status() == bridging; }));
}

TEST_F(Engine, LearningCapturesTheFirstQualifyingMessageAndSavesARoute) {
    startOnPty();
    bridge->setLearning(true);
    pty.send({0x90, 0x3C, 0x00, 0xB0, 0x07, 0x40, 0xB0, 0x08, 0x40});
    ASSERT_TRUE(until([&] { return bridge->pendingLearn().has_value(); }));
    EXPECT_EQ(bridge->pendingLearn(), (PendingLearn{true, 7}));
    EXPECT_EQ(bridge->learnDestination(), 7);
    EXPECT_FALSE(bridge->learning());
    ASSERT_TRUE(publishedAtLeast(3));  // the captured message still went on

    bridge->setLearnDestination(20);
    bridge->addLearned();
    ASSERT_EQ(bridge->routes().size(), 1u);
    EXPECT_EQ(bridge->routes()[0].line(), "CC 7 → CC 20");
    EXPECT_FALSE(bridge->pendingLearn().has_value());
    pty.send({0xB0, 0x07, 0x41});
    ASSERT_TRUE(publishedAtLeast(4));
    EXPECT_EQ(hub->published()[3], (Bytes{0xB0, 0x14, 0x41}));

    // Saving the same control again replaces its route at the end, with a new id.
    const auto oldID = bridge->routes()[0].id;
    bridge->setPendingLearn(PendingLearn{false, 60});
    bridge->addLearned();
    bridge->setPendingLearn(PendingLearn{true, 7});
    bridge->setLearnDestination(21);
    bridge->addLearned();
    ASSERT_EQ(bridge->routes().size(), 2u);
    EXPECT_EQ(bridge->routes()[1].destination, 21);
    EXPECT_NE(bridge->routes()[1].id, oldID);
    EXPECT_EQ(decodeRoutes(*prefs->data("learnedRoutes")), bridge->routes());

    bridge->removeRoute(bridge->routes()[0]);
    bridge->removeRoute(bridge->routes()[0]);
    EXPECT_EQ(prefs->data("learnedRoutes"), "[]");
    bridge->addLearned();  // nothing pending: nothing changes
    EXPECT_TRUE(bridge->routes().empty());
}

// Without a stored port: window_tests, through the tray.
TEST_F(Engine, MenuStartTakesTheStoredSettingsAndRetriesNothingAtLaunch) {
    prefs->setText("port", "/dev/tessaryn-missing");
    bridge->startFromSaved();
    EXPECT_EQ(bridge->status(), "Cannot open /dev/tessaryn-missing: No such file or directory");
    settle(1500ms);  // the first start after launch is not retried
    EXPECT_EQ(bridge->status(), "Cannot open /dev/tessaryn-missing: No such file or directory");
    {
        Preferences other(dir);  // tessaryn --set while the program runs
        Preferences::Batch batch(other);
        other.setText("port", pty.path);
        other.setInteger("baud", 250000);
        other.setText("parity", "odd");  // not a raw value: none
    }
    bridge->startFromSaved();
    EXPECT_TRUE(bridge->running());
    EXPECT_EQ(bridge->status(), "Bridging " + pty.path.substr(5) + " @ 250000");
    // tessaryn --set beside the running bridge: taken up at once, not at the next start.
    Preferences(dir).setBoolean("dropClock", false);
    ASSERT_TRUE(until([&] { return !bridge->dropClock(); }));
    pty.send({0xF8});
    ASSERT_TRUE(publishedAtLeast(1));
    EXPECT_EQ(hub->published(), std::vector<Bytes>{{0xF8}});
}

// Which device present replaces a lost one is the replacement table's (devices_test), and the
// same board found again by its identity is the usb suite's; this shows the bridge asking the
// table once the board is gone, and again when a device node appears.
TEST_F(Engine, ReconnectsWhenTheDeviceReturnsOrTheOnlyOtherAppearsAndNotWhenOffOrAfterStop) {
    const std::string link = (dir / "board").string();  // not listed: no identity
    auto plug = [&](const Pty& p) {
        std::filesystem::remove(dir / "board.new");
        std::filesystem::create_symlink(p.path, dir / "board.new");
        std::filesystem::rename(dir / "board.new", link);
    };
    auto first = std::make_unique<Pty>();
    plug(*first);
    bridge->start(link, {31250});
    ASSERT_TRUE(bridge->running());
    first->send({0x90, 0x30});
    ASSERT_TRUE(until([&] { return bridge->bytesIn() == 2; }));
    first->unplug();
    ASSERT_TRUE(until([&] { return !bridge->running(); }));
    EXPECT_EQ(bridge->status(), "Device unplugged. Waiting for it to return.");

    Pty second;  // back at its path
    plug(second);
    ASSERT_TRUE(until([&] { return bridge->running(); }, 3s));
    EXPECT_EQ(bridge->bytesIn(), 0);
    EXPECT_EQ(bridge->lastMapped(), "Waiting for a hit");
    second.send({0x64});  // the half message before the unplug is gone: fresh parser
    second.send({0x90, 0x30, 0x64});
    ASSERT_TRUE(publishedAtLeast(1));
    EXPECT_EQ(hub->published(), (std::vector<Bytes>{{0x90, 0x26, 0x64}}));

    // Gone for good, but exactly one other device is present: that one is opened.
    second.unplug();
    ASSERT_TRUE(until([&] { return !bridge->running(); }));
    std::filesystem::remove(link);
    Pty other;
    ports = {{other.path, "", true}, {pty.path, "", true}};  // two: keep waiting
    settle(1200ms);
    EXPECT_FALSE(bridge->running());
    ports = {{other.path, "", true}};
    // A waiting bridge sleeps until a device node appears; nothing wakes it before.
    settle(1200ms);
    EXPECT_FALSE(bridge->running());
    std::filesystem::create_symlink(other.path, dir / "other");  // the adapter's node appears
    ASSERT_TRUE(until([&] { return bridge->running(); }, 3s));
    EXPECT_EQ(bridge->status(), "Bridging " + other.path.substr(5) + " @ 31250");

    // Without reconnecting, the closing message stays.
    bridge->setReconnects(false);
    other.unplug();
    ASSERT_TRUE(until([&] { return !bridge->running(); }));
    EXPECT_EQ(bridge->status(), "Serial port closed (device disconnected?)");
    bridge->setReconnects(true);
    bridge->stop();
    Pty third;
    ports = {{third.path, "", true}};
    std::filesystem::create_symlink(third.path, dir / "third");
    settle(1500ms);
    EXPECT_FALSE(bridge->running());
    EXPECT_EQ(bridge->status(), "Stopped");
}

TEST_F(Engine, NoteOffsFollowEveryNoteOnInFlightOnStopAndRemapOff) {
    Bytes burst;  // 100 pad note-ons from 100 source notes, none of them 38
    for (int i = 0; i < 100; ++i)
        burst.insert(burst.end(), {0x99, static_cast<std::uint8_t>(i < 38 ? i : i + 1), 0x64});
    for (int round = 0; round < 300; ++round) {
        hub->clear();
        Pty board;  // nothing left over from the last round
        bridge->start(board.path, {31250});
        ASSERT_TRUE(bridge->running()) << bridge->status();
        board.send(burst);
        ASSERT_TRUE(publishedAtLeast(1));
        if (round % 2 == 0) {
            bridge->stop();
        } else {
            bridge->setRemapNotes(false);
            ASSERT_TRUE(until([&] {  // every pad, remapped or not, went out
                return std::ranges::count(hub->published(), 0x99, [](auto& m) { return m[0]; }) ==
                       100;
            }));
            bridge->stop();
            bridge->setRemapNotes(true);
        }
        hub->flush();
        // Remapped notes (38 on channel 10) left sounding, in the order they were published: a
        // note-off that overtakes its note-on silences nothing.
        int sounding = 0;
        for (const auto& m : hub->published()) {
            if (m.size() != 3 || m[1] != 0x26 || (m[0] & 0x0F) != 9) continue;
            sounding = m[0] >> 4 == 0x9 ? sounding + 1 : std::max(0, sounding - 1);
        }
        ASSERT_EQ(sounding, 0) << "round " << round;
    }
}

TEST_F(Engine, ReleasingTheBridgeEndsHeldNotesOnceAndItsThreads) {
    startOnPty();
    pty.send({0x99, 0x30, 0x64});
    ASSERT_TRUE(publishedAtLeast(1));
    std::atomic<bool> go{true};
    std::thread flood([&] {
        while (go) hub->sendToVirtualIn({0x90, 0x3C, 0x64});
    });
    bridge->shutdown();
    EXPECT_FALSE(bridge->running());
    bridge->shutdown();
    bridge.reset();  // the desktop's Quit without a shutdown of its own
    go = false;
    flood.join();
    settle();
    EXPECT_EQ(hub->published(), (std::vector<Bytes>{{0x99, 0x26, 0x64}, {0x89, 0x26, 0x00}}));

    create();
    startOnPty();
    pty.send({0x99, 0x31, 0x64});
    ASSERT_TRUE(publishedAtLeast(3));
    bridge.reset();
    EXPECT_EQ(hub->published().back(), (Bytes{0x89, 0x26, 0x00}));
}

// Both paths at full speed while settings change on the main thread: meant for the TSan build.
TEST_F(Engine, BothPathsUnderLoadWhileSettingsChange) {
    startOnPty();
    std::atomic<bool> go{true};
    std::thread board([&] {
        Bytes burst;
        for (int i = 0; i < 64; ++i)
            burst.insert(burst.end(), {0x99, static_cast<std::uint8_t>(i), 0x64, 0xB0, 0x07, 0x40});
        while (go) pty.send(burst);
    });
    std::thread reader([&] {
        while (go) pty.receive(4096, 5ms);
    });
    std::thread other([&] {
        Bytes packet{0xF0, 0x01, 0x02, 0xF7, 0x90, 0x3C, 0x64, 0xF8};
        for (int i = 0; go && i < 20000; ++i) hub->sendToVirtualIn(packet);
    });
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    int round = 0;
    while (std::chrono::steady_clock::now() < end) {
        bridge->setRemapNotes(round % 3 != 0);
        bridge->setTargetNote(36 + round % 10);
        bridge->setForceDrumChannel(round % 2);
        bridge->setBlockEcho(round % 5 != 0);
        bridge->setVelocityCurve(0.5 + (round % 7) * 0.2);
        bridge->setLearning(round % 4 == 0);
        bridge->setRoutes({{Uuid::random(), round % 2 == 0, 7, 20}});
        main.runFor(5ms);
        ++round;
    }
    go = false;
    board.join();
    other.join();
    reader.join();
    bridge->stop();
    settle();
    EXPECT_GT(bridge->bytesIn(), 0);
    EXPECT_GT(hub->published().size(), 100u);
    EXPECT_LE(bridge->monitor().size(), Bridge::kMonitorCap);
}

// A due timer (the counters' redraw, a reconnect) runs even while tasks keep coming.
// Neither starves the other: tasks that keep coming, or timers that are always due.
TEST(RunLoopTest, ADueTimerRunsWhileTasksKeepComingAndATaskWhileTimersAreDue) {
    RunLoop loop;
    std::function<void()> again = [&] { loop.post(again); };
    loop.post(again);
    bool fired = false;
    loop.postAfter(std::chrono::milliseconds(1), [&] { fired = true; });
    EXPECT_TRUE(loop.runUntil([&] { return fired; }, std::chrono::seconds(2)));
    RunLoop timers;
    std::function<void()> due = [&] { timers.postAfter(std::chrono::milliseconds(0), due); };
    timers.postAfter(std::chrono::milliseconds(0), due);
    bool ran = false;
    timers.post([&] { ran = true; });
    EXPECT_TRUE(timers.runUntil([&] { return ran; }, std::chrono::seconds(2)));
}
