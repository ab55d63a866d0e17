#include <gtest/gtest.h>

#include <algorithm>

#include "midi/note_rewriter.h"

using namespace tessaryn;

namespace {

// One step of a press/release sequence: an optional settings change, then a message in and
// the message expected out.
struct Step {
    MIDIMessage in;
    MIDIMessage out;
    int target = -1;  // set before the message when >= 0
    int force = -2;   // -1 clears forcing, 0..15 forces, -2 leaves it
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    std::vector<MIDIMessage> released;  // by releaseAll afterwards, sorted
    bool enabled = true;
};

const Sequence kSequences[] = {
    {"forced channel: release as note-on velocity 0, and after forcing is switched off",
     {{{0x92, 0x30, 0x64}, {0x99, 0x26, 0x64}, -1, 9},
      {{0x92, 0x30, 0x00}, {0x99, 0x26, 0x00}},
      {{0x92, 0x30, 0x64}, {0x99, 0x26, 0x64}},
      {{0x82, 0x30, 0x10}, {0x89, 0x26, 0x10}, -1, -1}},
     {}},
    {"no forcing, target changes while held",
     {{{0x92, 0x30, 0x64}, {0x92, 0x26, 0x64}},
      {{0x82, 0x30, 0x40}, {0x82, 0x26, 0x40}, 42},
      {{0x92, 0x30, 0x64}, {0x92, 0x2A, 0x64}}},
     {{0x82, 0x2A, 0x00}}},
    {"release without press",
     {{{0x83, 0x40, 0x00}, {0x83, 0x26, 0x00}}, {{0x83, 0x40, 0x00}, {0x89, 0x26, 0x00}, -1, 9}},
     {}},
    {"two presses before release",
     {{{0x90, 0x30, 0x64}, {0x90, 0x26, 0x64}},
      {{0x90, 0x30, 0x50}, {0x99, 0x2A, 0x50}, 42, 9},
      {{0x80, 0x30, 0x00}, {0x89, 0x2A, 0x00}, 36, -1},
      {{0x80, 0x30, 0x00}, {0x80, 0x24, 0x00}}},
     {}},
    {"other messages pass",
     {{{0xA9, 0x24, 0x10}, {0xA9, 0x24, 0x10}},
      {{0xB0, 0x07, 0x64}, {0xB0, 0x07, 0x64}},
      {{0xC0, 0x05}, {0xC0, 0x05}},
      {{0x90, 0x3C}, {0x90, 0x3C}},
      {{0xF8}, {0xF8}}},
     {}},
    {"each held note ends once, on the channel and note it went out with; extra bytes kept",
     {{{0x90, 48, 0x64, 0x01}, {0x90, 0x26, 0x64, 0x01}},
      {{0x90, 50, 0x64}, {0x90, 0x26, 0x64}},
      {{0x91, 50, 0x64}, {0x99, 0x24, 0x64}, 36, 9}},
     {{0x80, 0x26, 0x00}, {0x80, 0x26, 0x00}, {0x89, 0x24, 0x00}}},
    {"disabled passes everything and holds nothing",
     {{{0x99, 0x24, 0x64}, {0x99, 0x24, 0x64}}, {{0x90, 0x30, 0x64}, {0x90, 0x30, 0x64}}},
     {},
     false},
};

}  // namespace

TEST(NoteRewriter, PressReleaseSequences) {
    for (const Sequence& s : kSequences) {
        NoteRewriter r;
        r.enabled = s.enabled;
        int i = 0;
        for (const Step& step : s.steps) {
            if (step.target >= 0) r.target = static_cast<std::uint8_t>(step.target);
            if (step.force == -1) r.forceChannel.reset();
            if (step.force >= 0) r.forceChannel = static_cast<std::uint8_t>(step.force);
            EXPECT_EQ(r.rewrite(step.in), step.out) << s.name << " step " << i++;
        }
        auto offs = r.releaseAll();
        std::sort(offs.begin(), offs.end());
        EXPECT_EQ(offs, s.released) << s.name;
        EXPECT_TRUE(r.releaseAll().empty()) << s.name;
    }
}
