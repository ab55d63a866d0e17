#include <gtest/gtest.h>

#include "midi/monitor_text.h"

using namespace tessaryn;

namespace {

struct Text {
    MIDIMessage m;
    bool fromPad;
    std::optional<std::string> text;  // none: nothing shown
};

const Text kMonitor[] = {
    {{0x99, 0x26, 0x64}, true, "Pad  Snare 38 · vel 100 · ch 10"},
    {{0x90, 0x3C, 0x00}, false, "MIDI  Note off 60 · ch 1"},
    {{0x8F, 0x26, 0x40}, true, "Pad  Note off 38 · ch 16"},
    {{0xB2, 0x07, 0x40}, false, "MIDI  CC 7 · 64 · ch 3"},
    {{0xB2, 0x07}, false, "MIDI  CC 7 · 0 · ch 3"},
    {{0xC0, 0x05}, false, "MIDI  Program 5 · ch 1"},
    {{0xEF, 0x00, 0x40}, false, "MIDI  Pitch bend · ch 16"},
    {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, false, "MIDI  SysEx 6 bytes"},
    {{0xA0, 0x3C, 0x7F}, true, "Pad  A0 3C 7F"},
    {{0xF5, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, false, "MIDI  F5 01 02 03 04 05"},
    {{0xF8}, false, std::nullopt},
    {{}, false, std::nullopt},
};

struct Hit {
    MIDIMessage raw, sent;
    bool remapOn;
    std::optional<std::string> text;
};

const Hit kHits[] = {
    {{0x99, 0x3C, 0x64}, {0x99, 0x26, 0x64}, true, "hit 60 → Snare 38 · ch 10 · vel 100"},
    {{0x89, 0x3C, 0x40}, {0x89, 0x26, 0x40}, true, "release 60 → Snare 38 · ch 10 · vel 64"},
    {{0x90, 0x3C, 0x64}, {0x99, 0x3C, 0x64}, true, "hit 60 · ch 10 · vel 100"},
    {{0x90, 0x28, 0x64}, {0x90, 0x28, 0x64}, false, "hit 40 · ch 1 · vel 100 · unchanged"},
    {{0x90, 0x28, 0x00}, {0x90, 0x26, 0x00}, true, "release 40 → Snare 38 · ch 1 · vel 0"},
    {{0xB0, 0x07, 0x40}, {0xB0, 0x07, 0x40}, true, std::nullopt},
    {{0x90, 0x3C, 0x64}, {0x90}, true, std::nullopt},
    {{0x90}, {0x90, 0x3C, 0x64}, true, std::nullopt},
};

}  // namespace

TEST(MonitorText, Lines) {
    for (const Text& t : kMonitor) {
        EXPECT_EQ(monitorText(t.m, t.fromPad), t.text) << ::testing::PrintToString(t.m);
    }
    for (const Hit& h : kHits) {
        EXPECT_EQ(drumHitLine(h.raw, h.sent, h.remapOn), h.text)
            << ::testing::PrintToString(h.raw) << " " << ::testing::PrintToString(h.sent);
    }
}
