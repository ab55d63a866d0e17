// The message paths without threads or devices: byte tables and a clock of the test's own.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "bridge/message_path.h"
#include "midi/uuid.h"

using namespace tessaryn;
using Bytes = MIDIMessage;

TEST(EventParser, SendersNeverMixAndNothingIsInvented) {
    const Bytes note{0x90, 0x11, 0x11};
    struct Step {
        std::uint32_t source;  // 0: the input before the next event was lost
        Bytes bytes;
        double at = 0;
    };
    struct {
        const char* what;
        std::vector<Step> steps;
        std::vector<Bytes> expected;
    } cases[] = {
        {"another program's note inside a SysEx",
         {{1, {0xF0, 0x11, 0x11}}, {2, note}, {1, {0x11, 0x11}}, {1, {0x11, 0xF7}}},
         {note, {0xF0, 0x11, 0x11, 0x11, 0x11, 0x11, 0xF7}}},
        {"two programs merged on one port",
         {{1, {0xF0, 0x11}}, {1, note}, {1, {0x12, 0xF7}}},
         {note, {0xF0, 0x11, 0x12, 0xF7}}},
        {"two SysEx interleaved",
         {{1, {0xF0, 0x01}}, {2, {0xF0, 0x02}}, {1, {0xF7}}, {2, {0xF7}}},
         {{0xF0, 0x01, 0xF7}, {0xF0, 0x02, 0xF7}}},
        {"running status ends with its event",
         {{1, {0x90, 0x3C, 0x40, 0x3D, 0x40}}, {1, {0x3E, 0x40}}},
         {{0x90, 0x3C, 0x40}, {0x90, 0x3D, 0x40}}},
        {"a clock inside a SysEx goes at once",
         {{1, {0xF0, 0x01}}, {1, {0xF8}}, {1, {0x02, 0xF7}}},
         {{0xF8}, {0xF0, 0x01, 0x02, 0xF7}}},
        {"a new SysEx from the same sender ends the open one",
         {{1, {0xF0, 0x01, 0x02}}, {1, {0xF0, 0x03, 0xF7}}},
         {{0xF0, 0x03, 0xF7}}},
        {"a hole drops the SysEx it falls in, not what follows",
         {{1, {0xF0, 0x01}}, {0, {}}, {1, {0x02, 0xF7}}, {2, note}},
         {note}},
        {"a sender silent too long in a SysEx has given up on it",
         {{1, {0xF0, 0x01}, 0}, {2, note, 10.5}, {1, {0x02, 0xF7}, 10.6}},
         {note}},
    };
    for (const auto& c : cases) {
        EventParser parser;
        std::vector<Bytes> out;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const MIDIService::Event event{c.steps[i].source, c.steps[i].bytes};
            if (event.source != 0)
                parser.feed(std::span(&event, 1), i > 0 && c.steps[i - 1].source == 0,
                            c.steps[i].at, out);
        }
        EXPECT_EQ(out, c.expected) << c.what;
    }
}

TEST(MessagePath, FromTheDeviceFiltersRoutesRemapsAndCurves) {
    MessagePath path;
    path.rewriter.forceChannel = 9;
    path.traffic.curve = 1.8;
    path.traffic.routes = {{Uuid::random(), true, 7, 20}, {Uuid::random(), false, 61, 36}};
    const std::vector<Bytes> in{{0xF8},
                                {0xFE},
                                {0x90, 0x3C, 0x40},
                                {0x90, 0x3D, 0x01},
                                {0xB0, 0x07, 0x40},
                                {0x90, 0x3C, 0x00},
                                {0xFA}};
    std::vector<std::pair<Bytes, std::size_t>> sent;  // and the index of the message it came from
    for (auto& f : path.fromDevice(in, 0)) sent.emplace_back(f.message, f.origin);
    EXPECT_EQ(sent, (std::vector<std::pair<Bytes, std::size_t>>{
                        {{0x99, 0x26, 0x25}, 2},  // remapped, forced to ch 10, 64 -> 37
                        {{0x90, 0x24, 0x01}, 3},  // a route wins over the pad voice; 1 stays 1
                        {{0xB0, 0x14, 0x40}, 4},  // CC 7 -> 20
                        {{0x99, 0x26, 0x00}, 5},  // its release follows the note-on
                        {{0xFA}, 6},
                    }));
    EXPECT_TRUE(path.fromMIDI({{0xF8}, {0xFE}}, 1).empty());  // the same filters toward the device
    path.traffic.dropClock = path.traffic.dropSensing = false;
    EXPECT_EQ(path.fromMIDI({{0xF8}, {0xFE}}, 1).size(), 2u);
}

TEST(MessagePath, TheEchoGuardDropsOnlyWhatComesStraightBack) {
    const Bytes note{0x90, 0x3C, 0x64};
    MessagePath path;
    path.rewriter.enabled = false;
    EXPECT_EQ(path.fromMIDI({note}, 0).size(), 1u);
    EXPECT_TRUE(path.fromDevice(std::span(&note, 1), 0.049).empty());   // the board echoes it
    EXPECT_EQ(path.fromDevice(std::span(&note, 1), 0.051).size(), 1u);  // past the 50 ms window
    // And the other way: what went out to MIDI, sent back into "In", is not written.
    EXPECT_TRUE(path.fromMIDI({note}, 0.06).empty());
    EXPECT_EQ(path.fromMIDI({note}, 0.2).size(), 1u);
    // A long SysEx is given longer to come back.
    const Bytes dump(std::vector<std::uint8_t>(1000, 0x01));
    EXPECT_EQ(path.fromMIDI({dump}, 1).size(), 1u);
    EXPECT_TRUE(path.fromDevice(std::span(&dump, 1), 1.4).empty());
    path.traffic.blockEcho = false;
    EXPECT_EQ(path.fromMIDI({note}, 2).size(), 1u);
    EXPECT_EQ(path.fromDevice(std::span(&note, 1), 2).size(), 1u);
}

TEST(VelocityCurve, Table) {
    const std::tuple<std::uint8_t, double, std::uint8_t> cases[] = {
        {64, 1.03, 64},         {64, 1.05, 62},     {64, 1.8, 37}, {1, 1.8, 1},
        {127, 1.8, 127},        {64, 0.5, 90},      {1, 0.4, 18},  {64, -1.0, 64},
        {64, std::nan(""), 64}, {64, INFINITY, 64}, {64, 0.0, 127}};
    for (const auto& [in, curve, out] : cases)
        EXPECT_EQ(curvedVelocity(in, curve), out) << int(in) << " " << curve;
}
