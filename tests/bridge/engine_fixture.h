#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bridge/bridge.h"
#include "bridge/run_loop.h"
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"
#include "temp_dir.h"

namespace tessaryn::testing {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A bridge over the loopback MIDI service, a temporary preferences folder and a pty board.
class Engine : public TempDirTest {
  protected:
    void TearDown() override {
        // A packet still being handled holds the bridge, which would then outlive `main`.
        hub->flush();
        bridge.reset();
    }

    void create() {
        prefs = std::make_shared<Preferences>(dir);
        bridge = Bridge::create(main, prefs, hub->factory(), [this] {
            std::lock_guard lock(portsLock);
            return ports;
        });
    }
    void startOnPty() {
        bridge->start(pty.path, 31250, 8, Parity::none, false, false);
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
    nlohmann::json storedFile() {
        std::ifstream in(dir / "preferences.json");
        return nlohmann::json::parse(in, nullptr, false);
    }

    RunLoop main;
    std::shared_ptr<LoopbackHub> hub = std::make_shared<LoopbackHub>();
    std::shared_ptr<Preferences> prefs;
    std::shared_ptr<Bridge> bridge;
    Pty pty;
    std::mutex portsLock;
    std::vector<std::string> ports;  // what the bridge sees as the serial devices present
};

}  // namespace tessaryn::testing
