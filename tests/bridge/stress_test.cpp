// Both paths at full speed while settings change on the main thread: meant for the TSan build.
#include <atomic>
#include <thread>

#include "engine_fixture.h"

using namespace tessaryn;
using namespace tessaryn::testing;

TEST_F(Engine, BothPathsUnderLoadWhileSettingsChange) {
    create();
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
